#include "w1kind.h"

#include "w1busreader.h"

#include <array>

namespace quorvel::acquisition {

namespace {

constexpr const char* RootKey = "root";

std::optional<QString> readRoot(const QString& text, SourceSettings& settings)
{
    if (text.isEmpty())
        return QStringLiteral("expected the folder of the bus's devices");
    settings.insert(QLatin1String(RootKey), text);
    return std::nullopt;
}

constexpr std::array Keys{SourceKey{RootKey, "/sys/bus/w1/devices", true, readRoot}};

} // namespace

const SourceKind& w1Kind()
{
    static const SourceKind kind{
        .name = "w1",
        .noun = "bus",
        .model = "Linux 1-Wire bus with thermometers",
        .families = RomFamilies::AnyThermometer,
        // The log, the bus thread's event loop wakeup, and the one sensor file it reads at a time.
        .descriptors = 3,
        .keys = Keys,
        .where =
            [](const SourceSettings& settings) { return settings.value(QLatin1String(RootKey)).toString(); },
        .defaultSensors = nullptr,
        .requests = nullptr,
        .makeReader = [](const SourceSettings& settings) -> std::unique_ptr<SensorReader> {
            return std::make_unique<W1BusReader>(settings.value(QLatin1String(RootKey)).toString());
        },
    };
    return kind;
}

} // namespace quorvel::acquisition
