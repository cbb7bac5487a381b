#pragma once

#include "logrecord.h"

#include <QList>

#include <map>

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

// The same split for records seen one at a time, in the memory of the distinct steps between them (a log
// at a steady pace has a handful): the median and the count of periods come out as split() gives them.
class StepCounter {
public:
    // One record after those added before.
    void add(qint64 msecsSinceEpoch, qsizetype readings);
    [[nodiscard]] qint64 gapThresholdMs(double gapFactor = LogRuns::DefaultGapFactor) const;
    [[nodiscard]] qsizetype periods(double gapFactor = LogRuns::DefaultGapFactor) const;
    [[nodiscard]] qsizetype records() const { return records_; }

private:
    std::map<qint64, qint64> forward_; // every step forward in time, and how often
    std::map<qint64, qint64> steps_;   // the steps between records of the same count of readings
    qint64 forwardSteps_ = 0;
    qsizetype records_ = 0;
    qsizetype countChanges_ = 0;
    qint64 previousMs_ = 0;
    qsizetype previousCount_ = 0;
};

} // namespace quorvel::logfile
