#include "sensortable.h"

#include "pagecomponent.h"
#include "runtime/conversions.h"

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
}

bool SensorTable::readAnswer(int slot, const PageDocument* document)
{
    if (!document || slot < 0 || slot >= Readings.size())
        return false;
    // Built once: this runs for every page.
    static const QString elementId =
        QString::fromLatin1(TemperatureElementId.data(), static_cast<qsizetype>(TemperatureElementId.size()));
    const auto value = document->elementValue(elementId);
    if (!value)
        return false;
    const auto number = runtime::textToSingle(*value);
    if (!number)
        return false;
    Readings[slot] = *number;
    return true;
}

} // namespace quorvel::acquisition
