#pragma once

#include "service/state/bushealth.h"
#include "service/state/sensoralarm.h"
#include "service/state/sensorhistory.h"
#include "service/state/sourcereachability.h"

#include "acquisition/busfacts.h"
#include "acquisition/sensorreading.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <optional>
#include <vector>

namespace quorvel::service {

// One sensor's state as every output reads it, kept from its source's reading events. A power-on value is
// no good read: it counts as a failure and leaves the last success and the last good value alone.
struct SensorState {
    QString source;
    int slot = 0; // its place in the source's list, from 0
    QString romCode;
    QString id;   // as its source's kind writes it: what a person reads
    QString name; // the list's; empty for none
    std::optional<acquisition::ReadOutcome> lastOutcome; // nothing until the first read
    QString lastReason;
    std::optional<float> goodValue; // the last good reading
    std::optional<float> goodRaw;   // the same before the calibration offset
    QDateTime lastSuccess;
    quint64 failuresInRow = 0;
    // No good read for the stale time, as the store's stale check last found; its alarm says since when.
    bool stale = false;
    // When the last read's result began: the first read of the run with that result.
    QDateTime resultSince;
    // The last read changed what a person looks at: its result or its reason.
    bool resultChanged = false;
    // The reading as the source's last log record holds it (kept from before when a read failed); nothing
    // until a record follows the sensor's first good read, since the log's 0 before it is no temperature.
    std::optional<float> recorded;
    std::array<quint64, acquisition::ReadOutcomeCount> reads{};
    SensorAlarm alarm; // with the sensor's settings
    // Its power and resolution as its source last set it up; empty until then.
    acquisition::SensorFacts facts;

    // The list's name, else "Sensor N" by its place: what a person sees on the page and in Home Assistant.
    [[nodiscard]] QString displayName() const;
    // Takes one read; true when it was a good one.
    bool take(const acquisition::SensorReading& reading);
};

// What a source's log came to, told when its writer knows: a record written, or records lost (a failed
// write, a full queue, a failure closing a moved file), or nothing yet while a write has not returned.
struct LogOutcome {
    bool written = false;
    qint64 lost = 0;
    QString notice;         // what the log has to tell; empty when nothing
    QDateTime stalledSince; // when the write in hand began, while it is overdue
};

// One source's state: its sensors in list order, its reachability, its log's counts and its day's history.
struct SourceState {
    QString name;
    // Its kind's, copied when it is added so that no output needs to know the kinds: the kind's name, what
    // messages call one ("the bus at ..."), and the device model the MQTT discovery tells.
    QString kind;
    QString noun;
    QString model;
    QString address;
    QString logPath; // empty: no log
    QDateTime started;
    std::vector<SensorState> sensors;
    SensorHistory history;
    SourceReachability reachability;
    quint64 sweeps = 0;
    quint64 sweepOverruns = 0; // sweeps that took longer than the source's interval
    // A bus's: whether it converts all its sensors at once; nothing for another kind or before it is known.
    std::optional<bool> bulkConversion;
    quint64 recordsWritten = 0;
    quint64 recordsLost = 0;
    QString logNotice;
    QDateTime logStalledSince; // null while the log's writes return
    BusHealth health;

    [[nodiscard]] bool reachable() const { return reachability.reachable(); }
};

} // namespace quorvel::service
