#include "adapterkind.h"

#include "adapteraddress.h"
#include "adapterreader.h"

#include <array>

namespace quorvel::acquisition {

namespace {

constexpr const char* AddressKey = "address";

std::optional<QString> readAddress(const QString& text, SourceSettings& settings)
{
    const auto address = parseAdapterAddress(text);
    if (!address)
        return QStringLiteral("%1 is not an IPv4 address with an optional :PORT (1 to 65535)")
            .arg(escapedForMessage(text));
    settings.insert(QLatin1String(AddressKey), *address);
    return std::nullopt;
}

constexpr std::array Keys{SourceKey{AddressKey, nullptr, false, readAddress}};

QStringList requestUrls(const QString& where, const QList<ListedSensor>& sensors)
{
    QStringList urls;
    for (const ListedSensor& sensor : sensors)
        urls << sensorUrl(where, sensor.romCode);
    return urls;
}

} // namespace

const SourceKind& adapterKind()
{
    static const SourceKind kind{
        .name = "adapter",
        .noun = "adapter",
        .model = "1-Wire-to-Ethernet adapter with DS18B20 thermometers",
        .families = RomFamilies::Ds18b20,
        // The log and the connection to the adapter.
        .descriptors = 2,
        .keys = Keys,
        .where =
            [](const SourceSettings& settings) {
                return settings.value(QLatin1String(AddressKey)).toString();
            },
        .defaultSensors = builtInSensors,
        .requests = requestUrls,
        // The service's page factory makes its pages' reader until the adapter has a reader of its own.
        .makeReader = nullptr,
        .sensorId = nullptr,
        .setupWarnings = nullptr,
    };
    return kind;
}

} // namespace quorvel::acquisition
