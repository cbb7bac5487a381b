#include "sensorreader.h"

namespace quorvel::acquisition {

SensorAnswer temperatureAnswer(float degrees)
{
    if (degrees >= LowestTemperature && degrees <= HighestTemperature)
        return {ReadOutcome::Ok, degrees, {}};
    return {ReadOutcome::ReadError, 0,
            QStringLiteral("a value of %1 °C, outside any thermometer's range (%2 to %3 °C)")
                .arg(QString::number(degrees))
                .arg(QString::number(LowestTemperature), QString::number(HighestTemperature))};
}

QString failedConversionReason()
{
    return QStringLiteral("%1 °C: the value a failed conversion leaves (weak power or pull-up?)")
        .arg(QString::number(FailedConversionReading, 'g', 7));
}

SensorReader::SensorReader(QObject* parent) : QObject(parent), noAnswerAfterMs_(DefaultNoAnswerAfterMs) {}

} // namespace quorvel::acquisition
