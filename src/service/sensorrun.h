#pragma once

#include "acquisition/sensorreading.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace quorvel::service {

// One sensor's reads as every consumer counts them: the last read, the last good one and the failures
// since. A power-on value is no good read: it counts as a failure and leaves the last success alone.
struct SensorRun {
    std::optional<acquisition::ReadOutcome> lastOutcome; // nothing until the first read
    QString lastReason;
    QDateTime lastSuccess;
    std::optional<float> goodValue; // the last good reading
    quint64 failuresInRow = 0;

    // Takes one read; true when it was a good one.
    bool note(const acquisition::SensorReading& reading)
    {
        lastOutcome = reading.outcome;
        lastReason = reading.reason;
        if (reading.outcome != acquisition::ReadOutcome::Ok) {
            ++failuresInRow;
            return false;
        }
        goodValue = reading.value;
        lastSuccess = reading.when;
        failuresInRow = 0;
        return true;
    }
};

} // namespace quorvel::service
