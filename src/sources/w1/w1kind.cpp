#include "w1kind.h"

#include "w1busreader.h"
#include "w1treenames.h"

#include <QDir>

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

// Folder names alone: a look at the tree that reads no sensor, so it never waits on the bus.
QStringList busWarnings(const SourceSettings& settings, const QList<ListedSensor>& listed, bool)
{
    const QString root = settings.value(QLatin1String(RootKey)).toString();
    const QDir folder(root);
    if (!folder.exists())
        return {QStringLiteral("the folder %1 is missing: is the bus's driver loaded (on a Raspberry Pi, is "
                               "dtoverlay=w1-gpio on)?")
                    .arg(escapedForMessage(root))};
    const QStringList present = thermometersInTree(folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot));
    if (listed.isEmpty() && present.isEmpty())
        return {QStringLiteral("the bus at %1 shows no temperature sensor yet").arg(escapedForMessage(root))};
    QStringList warnings;
    for (const ListedSensor& sensor : listed)
        if (!present.contains(sensor.romCode))
            warnings << QStringLiteral("sensor %1 is not on the bus: no folder of that name in %2")
                            .arg(linuxId(sensor.romCode), escapedForMessage(root));
    return warnings;
}

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
        .sensorId = linuxId,
        .setupWarnings = busWarnings,
        .datasheetRangeByDefault = true,
        .setsResolution = true,
        .savesResolution = true,
        .rebindsMaster = true,
    };
    return kind;
}

} // namespace quorvel::acquisition
