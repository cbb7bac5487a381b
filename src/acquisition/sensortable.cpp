#include "sensortable.h"

#include "pagecomponent.h"
#include "runtime/conversions.h"

namespace quorvel::acquisition {

QString sensorUrl(const QString& adapterAddress, std::string_view romCode)
{
    return QStringLiteral("http://") + adapterAddress +
           QStringLiteral("/1Wire/ReadDS18B20.html?DS18B20Request=%7b") +
           QString::fromLatin1(romCode.data(), static_cast<qsizetype>(romCode.size())) +
           QStringLiteral(",12%7d");
}

void SensorTable::fill(const QString& adapterAddress)
{
    for (int i = 0; i < SensorCount; ++i)
        SensorUrls[i] = sensorUrl(adapterAddress, RomCodes[i]);
}

bool SensorTable::readAnswer(int slot, const PageDocument* document)
{
    if (!document)
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
    Readings.at(slot) = *number;
    return true;
}

} // namespace quorvel::acquisition
