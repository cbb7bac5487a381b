#pragma once

#include "sensortable.h"

#include "runtime/error.h"

#include <QString>

namespace quorvel::acquisition {

// Takes the record at the end of each sweep while logging is on.
class SweepRecorder {
public:
    virtual ~SweepRecorder() = default;
    [[nodiscard]] virtual bool loggingActive() const = 0;
    // Writes one record of these readings; fails with the reason when it could not be written.
    virtual runtime::Error writeRecord(const SensorReadings& readings) = 0;
    // What the user should be told about the log beyond the last write: losses of this logging period
    // and a new file started, kept until the next period begins; empty when there is nothing to tell.
    [[nodiscard]] virtual QString notice() const { return {}; }
    // Records lost so far, by whatever count the recorder keeps: the cycle tells each sweep's share.
    [[nodiscard]] virtual qint64 lostRecords() const { return 0; }
};

} // namespace quorvel::acquisition
