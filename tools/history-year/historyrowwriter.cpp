#include "historyrowwriter.h"

#include <sqlite3.h>

namespace quorvel::historyyear {

HistoryRowWriter::HistoryRowWriter(sqlite3* db)
    : db_(db),
      sensor_(db, "INSERT INTO sensors(rom) VALUES (?1) ON CONFLICT DO UPDATE SET rom = rom RETURNING id"),
      label_(db, "INSERT INTO labels(source, name) VALUES (?1, ?2) "
                 "ON CONFLICT DO UPDATE SET name = name RETURNING id"),
      sample_(db,
              "INSERT INTO samples(time, sensor, label, last, raw, min, max, mean, reads, failed, failures) "
              "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)"),
      hourly_(db, "INSERT INTO hourly(time, sensor, label, min, max, mean, good, reads) "
                  "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"),
      meta_(db, "INSERT OR REPLACE INTO meta(key, value) VALUES ('folded_until', ?1)")
{
}

bool HistoryRowWriter::done(service::history::SqlStatement& statement)
{
    if (statement.run() == SQLITE_DONE)
        return true;
    error_ = QString::fromUtf8(sqlite3_errmsg(db_));
    return false;
}

std::optional<qint64> HistoryRowWriter::returnedId(service::history::SqlStatement& statement)
{
    const std::optional<qint64> id =
        statement.step() == SQLITE_ROW ? std::optional<qint64>(statement.integer(0)) : std::nullopt;
    if (done(statement) && id)
        return id;
    error_ = QString::fromUtf8(sqlite3_errmsg(db_));
    return std::nullopt;
}

std::optional<qint64> HistoryRowWriter::sensorId(const QString& romCode)
{
    if (const auto found = sensors_.constFind(romCode); found != sensors_.constEnd())
        return *found;
    const std::optional<qint64> id = returnedId(sensor_.bindText(1, romCode));
    if (id)
        sensors_.insert(romCode, *id);
    return id;
}

std::optional<qint64> HistoryRowWriter::labelId(const QString& source, const QString& name)
{
    const std::pair key{source, name};
    if (const auto found = labels_.constFind(key); found != labels_.constEnd())
        return *found;
    const std::optional<qint64> id = returnedId(label_.bindText(1, source).bindText(2, name));
    if (id)
        labels_.insert(key, *id);
    return id;
}

bool HistoryRowWriter::sample(const QString& source, const QString& romCode, const QString& name,
                              const StoredSample& row)
{
    const std::optional<qint64> sensor = sensorId(romCode);
    const std::optional<qint64> label = labelId(source, name);
    if (!sensor || !label)
        return false;
    sample_.bind(1, row.time).bind(2, *sensor).bind(3, *label).bind(4, row.last);
    sample_.bind(5, row.raw == row.last ? std::nullopt : row.raw).bind(6, row.min).bind(7, row.max);
    sample_.bind(8, row.mean).bind(9, qint64{row.reads}).bind(10, qint64{row.failed});
    sample_.bind(11, row.failures.isEmpty() ? QString() : row.failures);
    return done(sample_);
}

bool HistoryRowWriter::hourly(const QString& source, const QString& romCode, const QString& name,
                              const StoredHourly& row)
{
    const std::optional<qint64> sensor = sensorId(romCode);
    const std::optional<qint64> label = labelId(source, name);
    if (!sensor || !label)
        return false;
    hourly_.bind(1, row.time).bind(2, *sensor).bind(3, *label).bind(4, row.min).bind(5, row.max);
    hourly_.bind(6, row.mean).bind(7, qint64{row.good}).bind(8, qint64{row.reads});
    return done(hourly_);
}

bool HistoryRowWriter::setFoldedUntil(qint64 time)
{
    return done(meta_.bind(1, time));
}

bool HistoryRowWriter::exec(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    error_ = QString::fromUtf8(message);
    sqlite3_free(message);
    return false;
}

} // namespace quorvel::historyyear
