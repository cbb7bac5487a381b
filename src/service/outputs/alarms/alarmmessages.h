#pragma once

#include "service/state/sensorstate.h"

#include <QList>
#include <QString>

#include <tuple>
#include <utility>

namespace quorvel::service {

// Per sensor at most one start of the alarm command and one journal line per this: a value hovering at a
// limit changes the alarm at every reading.
inline constexpr int AlarmSpacingMs = 10'000;

// Whose change it is: source, place and ROM code, so that a sensor a reload puts in another's place never
// takes over what waits for that one.
using AlarmKey = std::tuple<QString, int, QString>;
[[nodiscard]] inline AlarmKey alarmKey(const SensorState& sensor)
{
    return {sensor.source, sensor.slot, sensor.romCode};
}

// The facts of one change of a sensor's alarm, as the alarm command gets them in its environment:
// QUORVEL_SOURCE, _SENSOR (its number), _NAME, _ROM, _ALARM, _PREVIOUS, _VALUE (the reading that made the
// change, the last good one for stale, empty for none), _LIMIT (empty for ok and stale) and _SINCE.
[[nodiscard]] QList<std::pair<QString, QString>> alarmEnvironment(const SensorState& sensor,
                                                                  AlarmState previous);

// The journal's line of the same change.
[[nodiscard]] QString alarmJournalLine(const SensorState& sensor, AlarmState previous);

} // namespace quorvel::service
