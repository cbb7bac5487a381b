#pragma once

#include "service/state/sensorsettings.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace quorvel::service {

enum class AlarmState { Ok, Low, High, Stale };
inline constexpr int AlarmStateCount = 4;

// Every state in the order the metrics list them, with the label machines read.
inline constexpr std::array<std::pair<AlarmState, std::string_view>, AlarmStateCount> AlarmStateLabels = {{
    {AlarmState::Ok, "ok"},
    {AlarmState::Low, "low"},
    {AlarmState::High, "high"},
    {AlarmState::Stale, "stale"},
}};

[[nodiscard]] QString alarmLabel(AlarmState state);

// One sensor's alarm, decided from its good reads and its silence. Its time is the readings' own, so a test
// drives it with any clock. A failed read (a power-on 85 too) changes nothing: only silence makes it stale.
class SensorAlarm {
public:
    SensorAlarm() = default;
    SensorAlarm(SensorSettings settings, const QDateTime& since) : settings_(settings), since_(since) {}

    // A good reading (after the offset); true when the state changed.
    bool onGood(float value, const QDateTime& when);
    // The sensor had no good read for the stale time, as of `at`: true when this made it stale.
    bool onSilent(const QDateTime& at);

    [[nodiscard]] AlarmState state() const { return state_; }
    [[nodiscard]] const QDateTime& since() const { return since_; }
    // The reading that made the last change; nothing for one that silence made.
    [[nodiscard]] std::optional<float> value() const { return value_; }
    // The limit the state is about: low or high; nothing for ok and stale.
    [[nodiscard]] std::optional<double> limit() const;
    [[nodiscard]] const SensorSettings& settings() const { return settings_; }

private:
    // Where this reading alone puts the sensor, the hysteresis counted from the present state.
    [[nodiscard]] AlarmState judge(float value) const;
    bool change(AlarmState next, const QDateTime& when, std::optional<float> value);

    SensorSettings settings_;
    AlarmState state_ = AlarmState::Ok;
    QDateTime since_;
    std::optional<float> value_;
    // A limit crossed but not yet for the hold time: which, and since its first reading.
    std::optional<AlarmState> pending_;
    QDateTime pendingSince_;
};

} // namespace quorvel::service
