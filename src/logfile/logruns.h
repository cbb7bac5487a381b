#pragma once

#include "acquisition/logrecord.h"

#include <QList>

namespace quorvel::logfile {

// A stretch of records logged without a pause: records[first] .. records[first + count - 1].
struct LogRun {
    qsizetype first = 0;
    qsizetype count = 0;
};

// Logging stopped between two records when the time between them exceeds gapFactor times the median
// interval between records (never taken below one second, the resolution of the log), when time runs
// backwards, as it does where a later run of the logger was appended before an earlier one, or when the
// count of readings changes, as it does where the logger was started with another sensor list.
class LogRuns {
public:
    static constexpr double DefaultGapFactor = 5.0;

    // The records are taken in the order given.
    [[nodiscard]] static QList<LogRun> split(const QList<acquisition::LogRecord>& records,
                                             double gapFactor = DefaultGapFactor);
    // The longest forward step between two records that is not a gap, in milliseconds.
    // The most readings any record has: the sensors of the widest logging period.
    [[nodiscard]] static qsizetype widestCount(const QList<acquisition::LogRecord>& records);
    [[nodiscard]] static qint64 gapThresholdMs(const QList<acquisition::LogRecord>& records,
                                               double gapFactor = DefaultGapFactor);
};

} // namespace quorvel::logfile
