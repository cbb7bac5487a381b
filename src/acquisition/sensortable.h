#pragma once

#include "readoutcome.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <array>
#include <optional>
#include <string_view>

namespace quorvel::acquisition {

struct SensorAnswer;

// The window program's sensors; the service takes as many as its sensor list names.
inline constexpr int SensorCount = 13;
// One reading per sensor of the table, slot order.
using SensorReadings = QList<float>;

// The thirteen DS18B20 ROM codes in slot order, most significant byte (the CRC) first.
inline constexpr std::array<std::string_view, SensorCount> RomCodes = {
    "9C000000B4A89828", "06000000A4EC7428", "A1000000A4D34C28", "E6000000B4E6AC28", "6E00000027CD1E28",
    "92000000A4F27928", "A1000000180B0528", "47000000A4F3AD28", "88000000B4A59328", "EC00000027A23328",
    "EE000000B4913B28", "B900000027CA8F28", "40000000B491CF28",
};

// A DS18B20's value at power-on, which it reads until its first conversion.
inline constexpr float PowerOnReading = 85.0f;
// A real temperature does not jump by more than this between two reads a sweep apart.
inline constexpr float PowerOnJumpCelsius = 10.0f;

// The built-in ROM codes as text, slot order.
[[nodiscard]] QStringList builtInRomCodes();

// The sensor table and its readings. Slot i is sensor number i + 1 on screen. Until its slots are set it
// has the built-in count of empty slots.
class SensorTable {
public:
    // One slot per text (what a person is shown for it), each reading 0 until read.
    void setSlots(const QStringList& slotTexts);

    [[nodiscard]] int count() const { return static_cast<int>(SensorUrls.size()); }
    [[nodiscard]] const QString& url(int slot) const { return SensorUrls.at(slot); }
    [[nodiscard]] bool isEmpty(int slot) const
    {
        return slot < 0 || slot >= SensorUrls.size() || SensorUrls.at(slot).size() < 1;
    }

    // What reading one sensor gave: the outcome and, for a failure, why in words.
    struct ReadResult {
        ReadOutcome outcome = ReadOutcome::NoAnswer;
        QString reason;
    };
    // Takes what a sensor reader gave into slot: its number, or its failure, on which the slot keeps its
    // value. A power-on reset is taken like a reading (the log writes what was read) but reported as such.
    ReadResult takeAnswer(int slot, const SensorAnswer& answer);

    QList<QString> SensorUrls = QList<QString>(SensorCount);
    SensorReadings Readings = SensorReadings(SensorCount, 0.0f);

private:
    ReadResult takeNumber(int slot, float number);

    // Per slot, the last value read (also a power-on one) since the start or the slot's last failure.
    QList<std::optional<float>> lastRead_ = QList<std::optional<float>>(SensorCount);
};

} // namespace quorvel::acquisition
