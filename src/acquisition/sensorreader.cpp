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

QString parasiteBulkNotice(const QStringList& ids, const QString& converter, const QString& advice)
{
    const bool one = ids.size() == 1;
    return QStringLiteral("%1 %2 %3 parasite-powered and the %4 converts all at once: the master must hold a "
                          "strong pull-up for the whole conversion (%5)")
        .arg(one ? QStringLiteral("sensor") : QStringLiteral("sensors"), ids.join(QStringLiteral(", ")),
             one ? QStringLiteral("is") : QStringLiteral("are"), converter, advice);
}

SensorReader::SensorReader(QObject* parent) : QObject(parent), noAnswerAfterMs_(DefaultNoAnswerAfterMs) {}

} // namespace quorvel::acquisition
