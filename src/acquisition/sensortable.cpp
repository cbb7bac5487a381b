#include "sensortable.h"

#include "sensorreader.h"

#include <cmath>
#include <utility>

namespace quorvel::acquisition {

QString sensorUrl(const QString& adapterAddress, QStringView romCode)
{
    return QStringLiteral("http://") + adapterAddress +
           QStringLiteral("/1Wire/ReadDS18B20.html?DS18B20Request=%7b") + romCode.toString() +
           QStringLiteral(",12%7d");
}

QString sensorUrl(const QString& adapterAddress, std::string_view romCode)
{
    return sensorUrl(adapterAddress,
                     QString::fromLatin1(romCode.data(), static_cast<qsizetype>(romCode.size())));
}

QStringList builtInRomCodes()
{
    QStringList roms;
    for (const std::string_view rom : RomCodes)
        roms << QString::fromLatin1(rom.data(), static_cast<qsizetype>(rom.size()));
    return roms;
}

void SensorTable::fill(const QString& adapterAddress)
{
    fill(adapterAddress, builtInRomCodes());
}

void SensorTable::fill(const QString& adapterAddress, const QStringList& romCodes)
{
    QStringList urls;
    for (const QString& rom : romCodes)
        urls.append(sensorUrl(adapterAddress, rom));
    setSlots(urls);
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
