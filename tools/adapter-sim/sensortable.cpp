#include "sensortable.h"

#include "querystring.h"

namespace quorvel::adaptersim {

namespace {

constexpr int SwingSixteenths = 3 * 16;

int centreSixteenths(int sensor)
{
    return (18 + sensor) * 16;
}

} // namespace

QByteArray romCode(int sensor)
{
    if (sensor < 1 || sensor > SensorCount)
        return {};
    const std::string_view rom = acquisition::RomCodes[static_cast<std::size_t>(sensor - 1)];
    return QByteArray(rom.data(), static_cast<qsizetype>(rom.size()));
}

std::optional<int> sensorForRom(QByteArrayView rom)
{
    for (int i = 0; i < SensorCount; ++i) {
        if (rom == QByteArrayView(acquisition::RomCodes[static_cast<std::size_t>(i)]))
            return i + 1;
    }
    return std::nullopt;
}

std::optional<int> sensorForRequest(QByteArrayView path, QByteArrayView encodedQuery)
{
    if (path != SensorPath)
        return std::nullopt;
    const QByteArray request = queryValue(encodedQuery, "DS18B20Request").value_or(QByteArray());
    // 12 is the conversion resolution in bits; the adapter serves no other.
    if (!request.startsWith('{') || !request.endsWith(",12}"))
        return std::nullopt;
    return sensorForRom(QByteArrayView(request).sliced(1, request.size() - 5));
}

int lowestSixteenths(int sensor)
{
    return centreSixteenths(sensor) - SwingSixteenths;
}

int highestSixteenths(int sensor)
{
    return centreSixteenths(sensor) + SwingSixteenths;
}

} // namespace quorvel::adaptersim
