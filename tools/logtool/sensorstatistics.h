#pragma once

#include "logfile/logrecord.h"
#include "logfile/logruns.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace quorvel::logtool {

struct SensorFigures {
    int sensor = 0;      // 1..N
    qsizetype count = 0; // records that have this sensor
    float minimum = 0.0f;
    float maximum = 0.0f;
    double mean = 0.0;
    // The first record of the final stretch of equal values; invalid when the value never changed.
    QDateTime lastChange;
    // How many records at the end hold the last value.
    qsizetype unchangedRecords = 0;
    // Readings of exactly 85, what the sensor reports after a power-on reset before any conversion.
    qsizetype resetReadings = 0;
    // The log cannot mark a failed sensor, which repeats its last value: one that did not change over
    // the last staleRecords records has likely failed.
    bool stale = false;
};

struct LogFigures {
    qsizetype records = 0;
    qsizetype periods = 0;
    QDateTime first;
    QDateTime last;
    // One per sensor of the widest logging period; thirteen without records.
    QList<SensorFigures> sensors;
};

// The figures of records fed one at a time, in the memory of one record per sensor and the distinct
// steps between records, so a log of any length is summed in one pass.
class StatisticsAccumulator {
public:
    void add(const acquisition::LogRecord& record);
    [[nodiscard]] LogFigures figures(qsizetype staleRecords, double gapFactor) const;

private:
    struct Sensor {
        SensorFigures figures;
        double sum = 0.0;
        float previous = 0.0f;
    };
    QList<Sensor> sensors_;
    logfile::StepCounter steps_;
    QDateTime first_;
    QDateTime last_;
};

class SensorStatistics {
public:
    static constexpr qsizetype DefaultStaleRecords = 10;

    [[nodiscard]] static LogFigures compute(const QList<acquisition::LogRecord>& records,
                                            qsizetype staleRecords = DefaultStaleRecords,
                                            double gapFactor = logfile::LogRuns::DefaultGapFactor);
    // A plain-text table for people, one sensor a row, with a summary line above it.
    // With names (a sensor list's, by slot), a last column holds each sensor's.
    [[nodiscard]] static QString table(const LogFigures& figures, qsizetype staleRecords,
                                       const QStringList& names = {});
    // RFC 4180 with a header row; times and numbers as logfile::CsvExport writes them.
    [[nodiscard]] static QByteArray csv(const LogFigures& figures, const QStringList& names = {});
};

} // namespace quorvel::logtool
