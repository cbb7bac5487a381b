#pragma once

#include <QString>

#include <array>
#include <string_view>

namespace quorvel::acquisition {

class PageDocument;

inline constexpr int SensorCount = 13;
using SensorReadings = std::array<float, SensorCount>;

// The thirteen DS18B20 ROM codes in slot order, most significant byte (the CRC) first.
inline constexpr std::array<std::string_view, SensorCount> RomCodes = {
    "9C000000B4A89828", "06000000A4EC7428", "A1000000A4D34C28", "E6000000B4E6AC28", "6E00000027CD1E28",
    "92000000A4F27928", "A1000000180B0528", "47000000A4F3AD28", "88000000B4A59328", "EC00000027A23328",
    "EE000000B4913B28", "B900000027CA8F28", "40000000B491CF28",
};

// The id of the page element that carries the temperature.
inline constexpr std::string_view TemperatureElementId = "Temperature_0";

// The request URL of one sensor at the given adapter address ("host" or "host:port").
[[nodiscard]] QString sensorUrl(const QString& adapterAddress, std::string_view romCode);

// The sensor table and its readings. Slot i is sensor number i + 1 on screen.
class SensorTable {
public:
    void fill(const QString& adapterAddress);

    [[nodiscard]] const QString& url(int slot) const { return SensorUrls.at(slot); }
    [[nodiscard]] bool isEmpty(int slot) const { return SensorUrls.at(slot).size() < 1; }

    // Takes the temperature from the loaded document into slot; on any failure the slot keeps its value.
    bool readAnswer(int slot, const PageDocument* document);

    std::array<QString, SensorCount> SensorUrls;
    SensorReadings Readings{};
};

} // namespace quorvel::acquisition
