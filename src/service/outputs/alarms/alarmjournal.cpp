#include "service/outputs/alarms/alarmjournal.h"

#include "service/outputs/alarms/alarmmessages.h"

namespace quorvel::service {

AlarmJournal::AlarmJournal(runtime::MessageSink messages, int spacingMs, TimerFactory timers, QObject* parent)
    : QObject(parent), messages_(std::move(messages)), spacingMs_(spacingMs), timers_(std::move(timers))
{
}

AlarmJournal::AlarmJournal(runtime::MessageSink messages, QObject* parent)
    : AlarmJournal(
          std::move(messages), AlarmSpacingMs, [] { return std::make_unique<runtime::PreciseTimer>(); },
          parent)
{
}

void AlarmJournal::onAlarmChanged(const SensorState& state, AlarmState previous)
{
    Sensor& sensor = sensors_[alarmKey(state)];
    if (!sensor.spacing) {
        sensor.spacing = timers_();
        connect(sensor.spacing.get(), &runtime::Timer::timeout, this,
                [this, &sensor] { onSpacingOver(sensor); });
    }
    if (sensor.spacing->isActive()) {
        sensor.line = alarmJournalLine(state, previous);
        ++sensor.held;
        return;
    }
    messages_(alarmJournalLine(state, previous));
    sensor.spacing->start(spacingMs_);
}

void AlarmJournal::onSpacingOver(Sensor& sensor)
{
    if (sensor.held == 0)
        return;
    messages_(sensor.held == 1 ? sensor.line
                               : QStringLiteral("%1; the last of %2 changes in %3 s")
                                     .arg(sensor.line)
                                     .arg(sensor.held)
                                     .arg(spacingMs_ / 1000.0));
    sensor.held = 0;
    sensor.spacing->start(spacingMs_);
}

} // namespace quorvel::service
