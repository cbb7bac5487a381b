#pragma once

// Log files written the way the logger writes them: LogSession, composeLogRecord, encodeLogLine.

#include "logfile/logrecord.h"
#include "logfile/logsession.h"
#include "scratchdir.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QLocale>
#include <QTemporaryDir>

#include <memory>

namespace logtoolfixture {

using quorvel::acquisition::LogRecord;

inline std::unique_ptr<QTemporaryDir> scratchDir()
{
    return quorvel::testing::scratchDir(QStringLiteral("logtool"));
}

// One logging period: opens the file for appending, writes the records, closes it.
inline bool appendPeriod(const QString& path, const QList<LogRecord>& records, const QLocale& locale)
{
    quorvel::acquisition::LogSession session;
    if (session.open(path))
        return false;
    for (const LogRecord& r : records) {
        if (session.writeRecord(
                quorvel::acquisition::encodeLogLine(quorvel::acquisition::composeLogRecord(r, locale))))
            return false;
    }
    session.close();
    return true;
}

inline QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Sweeps every intervalSeconds from start. Values are multiples of 0.0625 under 100 (exact in a
// float and in the log's seven digits), sensor 2 below zero so a minus and a decimal comma meet.
inline QList<LogRecord> sweeps(const QDateTime& start, int count, int intervalSeconds, int phase,
                               int sensors = int(LogRecord::ReadingCount))
{
    QList<LogRecord> records;
    for (int i = 0; i < count; ++i) {
        LogRecord r;
        r.when = start.addSecs(qint64(i) * intervalSeconds);
        r.readings.resize(sensors);
        for (int slot = 0; slot < sensors; ++slot)
            r.readings[slot] = 15.0f + slot + 0.0625f * float((i + phase) * (slot + 1) % 23);
        if (sensors > 1)
            r.readings[1] = -r.readings[1];
        records.append(r);
    }
    return records;
}

// The log most tests read: a first run with two logging periods 30 minutes apart, then a second
// run of the logger a day later. Sensor 5 reads 85 at the start of each period (power-on reset),
// sensor 13 never changes, sensor 12 holds its last value over the last 12 records and sensor 11
// over the last 9, either side of the default stale limit of 10.
struct StandardLog {
    QList<QList<LogRecord>> periods;

    [[nodiscard]] QList<LogRecord> all() const
    {
        QList<LogRecord> out;
        for (const auto& p : periods)
            out += p;
        return out;
    }
};

inline StandardLog standardLog()
{
    const QDateTime start(QDate(2007, 3, 14), QTime(22, 5, 42));
    StandardLog log;
    log.periods << sweeps(start, 30, 10, 0) << sweeps(start.addSecs(300 + 30 * 60), 20, 10, 7)
                << sweeps(start.addDays(1), 15, 10, 3);
    for (auto& period : log.periods)
        period.first().readings[4] = 85.0f;
    QList<LogRecord*> flat;
    for (auto& period : log.periods)
        for (LogRecord& r : period)
            flat.append(&r);
    for (LogRecord* r : flat)
        r->readings[12] = 21.5f;
    for (qsizetype i = flat.size() - 12; i < flat.size(); ++i)
        flat[i]->readings[11] = 30.25f;
    for (qsizetype i = flat.size() - 9; i < flat.size(); ++i)
        flat[i]->readings[10] = 12.0f;
    return log;
}

inline bool writeStandardLog(const QString& path, const QLocale& locale, const StandardLog& log)
{
    for (const auto& period : log.periods) {
        if (!appendPeriod(path, period, locale))
            return false;
    }
    return true;
}

} // namespace logtoolfixture
