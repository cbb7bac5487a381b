#include "sensortable.h"

#include "querystring.h"

#include <algorithm>

namespace quorvel::adaptersim {

namespace {

constexpr int SwingSixteenths = 3 * 16;

int centreSixteenths(int sensor)
{
    return (18 + (sensor - 1) % SensorCount + 1) * 16;
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

std::optional<QByteArray> romOfRequest(QByteArrayView path, QByteArrayView encodedQuery)
{
    if (path != SensorPath)
        return std::nullopt;
    const QByteArray request = queryValue(encodedQuery, "DS18B20Request").value_or(QByteArray());
    // 12 is the conversion resolution in bits; the adapter serves no other.
    if (!request.startsWith('{') || !request.endsWith(",12}"))
        return std::nullopt;
    return request.sliced(1, request.size() - 5);
}

bool isDs18b20Rom(QByteArrayView rom)
{
    const auto upperHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    return rom.size() == 16 && std::all_of(rom.begin(), rom.end(), upperHex) && rom.endsWith("28");
}

std::optional<int> sensorForRequest(QByteArrayView path, QByteArrayView encodedQuery)
{
    const std::optional<QByteArray> rom = romOfRequest(path, encodedQuery);
    return rom ? sensorForRom(*rom) : std::nullopt;
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
