#include "sensortable.h"

#include "pagecomponent.h"
#include "runtime/conversions.h"
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
    SensorUrls.clear();
    for (const QString& rom : romCodes)
        SensorUrls.append(sensorUrl(adapterAddress, rom));
    Readings = SensorReadings(romCodes.size(), 0.0f);
    lastRead_ = QList<std::optional<float>>(romCodes.size());
}

SensorTable::ReadResult SensorTable::readAnswer(int slot, const PageDocument* document, bool gotAnswer)
{
    if (slot < 0 || slot >= Readings.size())
        return {ReadOutcome::NoAnswer, QStringLiteral("no such sensor slot")};
    const auto failed = [&](ReadOutcome outcome, QString reason) {
        lastRead_[slot].reset();
        return ReadResult{outcome, std::move(reason)};
    };
    const std::optional<QString> error = document ? document->errorReason() : std::nullopt;
    if (!gotAnswer)
        return failed(ReadOutcome::NoAnswer, error.value_or(QStringLiteral("no answer")));
    if (!document || error)
        return failed(ReadOutcome::HttpError, error.value_or(QStringLiteral("no page")));
    // Built once: this runs for every page.
    static const QString elementId =
        QString::fromLatin1(TemperatureElementId.data(), static_cast<qsizetype>(TemperatureElementId.size()));
    const auto value = document->elementValue(elementId);
    if (!value)
        return failed(ReadOutcome::NoElement,
                      QStringLiteral("the page has no value with the id %1").arg(elementId));
    const auto number = runtime::textToSingle(*value);
    if (!number)
        return failed(
            ReadOutcome::NotANumber,
            QStringLiteral("the value \"%1\" of %2 is not a number").arg(value->left(40), elementId));
    return takeNumber(slot, *number);
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
