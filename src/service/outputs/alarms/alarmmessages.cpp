#include "service/outputs/alarms/alarmmessages.h"

#include "runtime/conversions.h"
#include "runtime/localeformats.h"

#include <QLocale>

namespace quorvel::service {

namespace {

std::optional<float> valueOf(const SensorState& sensor)
{
    return sensor.alarm.state() == AlarmState::Stale ? sensor.goodValue : sensor.alarm.value();
}

QString text(std::optional<float> value)
{
    return value ? runtime::singleToText(*value, QLocale::c()) : QString();
}

QString text(std::optional<double> limit)
{
    return limit ? QString::number(*limit, 'g', 10) : QString();
}

} // namespace

QList<std::pair<QString, QString>> alarmEnvironment(const SensorState& sensor, AlarmState previous)
{
    const SensorAlarm& alarm = sensor.alarm;
    return {
        {QStringLiteral("QUORVEL_SOURCE"), sensor.source},
        {QStringLiteral("QUORVEL_SENSOR"), QString::number(sensor.slot + 1)},
        {QStringLiteral("QUORVEL_NAME"), sensor.displayName()},
        {QStringLiteral("QUORVEL_ROM"), sensor.romCode},
        {QStringLiteral("QUORVEL_ALARM"), alarmLabel(alarm.state())},
        {QStringLiteral("QUORVEL_PREVIOUS"), alarmLabel(previous)},
        {QStringLiteral("QUORVEL_VALUE"), text(valueOf(sensor))},
        {QStringLiteral("QUORVEL_LIMIT"), text(alarm.limit())},
        {QStringLiteral("QUORVEL_SINCE"), runtime::isoWithOffset(alarm.since())},
    };
}

QString alarmJournalLine(const SensorState& sensor, AlarmState previous)
{
    const SensorAlarm& alarm = sensor.alarm;
    QString line = QStringLiteral("alarm: source %1 sensor %2 (%3, %4): %5 since %6, was %7")
                       .arg(sensor.source)
                       .arg(sensor.slot + 1)
                       .arg(sensor.displayName(), sensor.id, alarmLabel(alarm.state()),
                            runtime::isoWithOffset(alarm.since()), alarmLabel(previous));
    if (const std::optional<float> value = valueOf(sensor))
        line += QStringLiteral("; %1 °C").arg(text(value));
    if (const std::optional<double> limit = alarm.limit())
        line += QStringLiteral(", limit %1").arg(text(limit));
    return line;
}

} // namespace quorvel::service
