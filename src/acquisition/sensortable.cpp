#include "sensortable.h"

#include "sensorreader.h"

#include <cmath>
#include <utility>

namespace quorvel::acquisition {

QStringList builtInRomCodes()
{
    QStringList roms;
    for (const std::string_view rom : RomCodes)
        roms << QString::fromLatin1(rom.data(), static_cast<qsizetype>(rom.size()));
    return roms;
}

void SensorTable::setSlots(const QStringList& slotTexts)
{
    SensorUrls = slotTexts;
    Readings = SensorReadings(slotTexts.size(), 0.0f);
    lastRead_ = QList<std::optional<float>>(slotTexts.size());
}

SensorTable::ReadResult SensorTable::takeAnswer(int slot, const SensorAnswer& answer)
{
    if (slot < 0 || slot >= Readings.size())
        return {ReadOutcome::NoAnswer, QStringLiteral("no such sensor slot")};
    if (answer.outcome == ReadOutcome::Ok)
        return takeNumber(slot, answer.value);
    lastRead_[slot].reset();
    return {answer.outcome, answer.reason};
}

SensorTable::ReadResult SensorTable::takeNumber(int slot, float number)
{
    Readings[slot] = number;
    // A first reading, or a jump, to exactly the power-on value is the sensor restarting; a second 85 in a
    // row is believed, so a sensor that is really at 85 is reported as such from its second read on.
    const std::optional<float> before = std::exchange(lastRead_[slot], number);
    const bool powerOn =
        number == PowerOnReading && (!before || std::abs(number - *before) > PowerOnJumpCelsius);
    return {powerOn ? ReadOutcome::PowerOnReset : ReadOutcome::Ok, {}};
}

} // namespace quorvel::acquisition
