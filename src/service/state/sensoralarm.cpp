#include "service/state/sensoralarm.h"

namespace quorvel::service {

QString alarmLabel(AlarmState state)
{
    const std::string_view label = AlarmStateLabels[std::size_t(state)].second;
    return QString::fromLatin1(label.data(), qsizetype(label.size()));
}

std::optional<double> SensorAlarm::limit() const
{
    if (state_ == AlarmState::Low)
        return settings_.low;
    if (state_ == AlarmState::High)
        return settings_.high;
    return std::nullopt;
}

AlarmState SensorAlarm::judge(float value) const
{
    const double v = value;
    // An alarm already on ends only once the reading is the hysteresis back inside its limit.
    if (settings_.high && v > *settings_.high - (state_ == AlarmState::High ? settings_.hysteresis : 0))
        return AlarmState::High;
    if (settings_.low && v < *settings_.low + (state_ == AlarmState::Low ? settings_.hysteresis : 0))
        return AlarmState::Low;
    return AlarmState::Ok;
}

bool SensorAlarm::onGood(float value, const QDateTime& when)
{
    const AlarmState next = judge(value);
    if (next == state_) {
        pending_.reset();
        return false;
    }
    if (next == AlarmState::Ok) {
        pending_.reset();
        return change(next, when, value);
    }
    if (pending_ != next) {
        pending_ = next;
        pendingSince_ = when;
    }
    if (pendingSince_.secsTo(when) >= settings_.holdSeconds) {
        pending_.reset();
        return change(next, when, value);
    }
    // Held: a stale sensor that reads again is ok until the hold is over.
    return state_ == AlarmState::Stale && change(AlarmState::Ok, when, value);
}

bool SensorAlarm::onSilent(const QDateTime& at)
{
    pending_.reset();
    return state_ != AlarmState::Stale && change(AlarmState::Stale, at, std::nullopt);
}

bool SensorAlarm::change(AlarmState next, const QDateTime& when, std::optional<float> value)
{
    state_ = next;
    since_ = when;
    value_ = value;
    return true;
}

} // namespace quorvel::service
