#include "historyrowwriter.h"

#include <sqlite3.h>

namespace quorvel::historyyear {

namespace {

sqlite3_stmt* prepare(sqlite3* db, const char* sql)
{
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    return stmt;
}

void bindOptional(sqlite3_stmt* stmt, int index, const std::optional<qint64>& value)
{
    if (value)
        sqlite3_bind_int64(stmt, index, *value);
    else
        sqlite3_bind_null(stmt, index);
}

void bindText(sqlite3_stmt* stmt, int index, const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(stmt, index, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
}

} // namespace

HistoryRowWriter::HistoryRowWriter(sqlite3* db)
    : db_(db), sensor_(prepare(db, "INSERT INTO sensors(rom) VALUES (?1) "
                                   "ON CONFLICT DO UPDATE SET rom = rom RETURNING id")),
      label_(prepare(db, "INSERT INTO labels(source, name) VALUES (?1, ?2) "
                         "ON CONFLICT DO UPDATE SET name = name RETURNING id")),
      sample_(prepare(db,
                      "INSERT INTO samples(time, sensor, label, last, raw, min, max, mean, reads, failed, "
                      "failures) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)")),
      hourly_(prepare(db, "INSERT INTO hourly(time, sensor, label, min, max, mean, good, reads) "
                          "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")),
      meta_(prepare(db, "INSERT OR REPLACE INTO meta(key, value) VALUES ('folded_until', ?1)"))
{
}

HistoryRowWriter::~HistoryRowWriter()
{
    for (sqlite3_stmt* stmt : {sensor_, label_, sample_, hourly_, meta_})
        sqlite3_finalize(stmt);
}

bool HistoryRowWriter::done(sqlite3_stmt* stmt)
{
    const int rc = stmt ? sqlite3_step(stmt) : SQLITE_ERROR;
    if (stmt)
        sqlite3_reset(stmt);
    if (rc == SQLITE_DONE)
        return true;
    error_ = QString::fromUtf8(sqlite3_errmsg(db_));
    return false;
}

std::optional<qint64> HistoryRowWriter::returnedId(sqlite3_stmt* stmt)
{
    std::optional<qint64> id;
    if (stmt && sqlite3_step(stmt) == SQLITE_ROW)
        id = sqlite3_column_int64(stmt, 0);
    if (id && done(stmt))
        return id;
    if (stmt)
        sqlite3_reset(stmt);
    error_ = QString::fromUtf8(sqlite3_errmsg(db_));
    return std::nullopt;
}

std::optional<qint64> HistoryRowWriter::sensorId(const QString& romCode)
{
    if (const auto found = sensors_.constFind(romCode); found != sensors_.constEnd())
        return *found;
    bindText(sensor_, 1, romCode);
    const std::optional<qint64> id = returnedId(sensor_);
    if (id)
        sensors_.insert(romCode, *id);
    return id;
}

std::optional<qint64> HistoryRowWriter::labelId(const QString& source, const QString& name)
{
    const std::pair key{source, name};
    if (const auto found = labels_.constFind(key); found != labels_.constEnd())
        return *found;
    bindText(label_, 1, source);
    bindText(label_, 2, name);
    const std::optional<qint64> id = returnedId(label_);
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
    sqlite3_bind_int64(sample_, 1, row.time);
    sqlite3_bind_int64(sample_, 2, *sensor);
    sqlite3_bind_int64(sample_, 3, *label);
    bindOptional(sample_, 4, row.last);
    bindOptional(sample_, 5, row.raw == row.last ? std::nullopt : row.raw);
    bindOptional(sample_, 6, row.min);
    bindOptional(sample_, 7, row.max);
    bindOptional(sample_, 8, row.mean);
    sqlite3_bind_int(sample_, 9, row.reads);
    sqlite3_bind_int(sample_, 10, row.failed);
    if (row.failures.isEmpty())
        sqlite3_bind_null(sample_, 11);
    else
        bindText(sample_, 11, row.failures);
    return done(sample_);
}

bool HistoryRowWriter::hourly(const QString& source, const QString& romCode, const QString& name,
                              const StoredHourly& row)
{
    const std::optional<qint64> sensor = sensorId(romCode);
    const std::optional<qint64> label = labelId(source, name);
    if (!sensor || !label)
        return false;
    sqlite3_bind_int64(hourly_, 1, row.time);
    sqlite3_bind_int64(hourly_, 2, *sensor);
    sqlite3_bind_int64(hourly_, 3, *label);
    bindOptional(hourly_, 4, row.min);
    bindOptional(hourly_, 5, row.max);
    bindOptional(hourly_, 6, row.mean);
    sqlite3_bind_int(hourly_, 7, row.good);
    sqlite3_bind_int(hourly_, 8, row.reads);
    return done(hourly_);
}

bool HistoryRowWriter::setFoldedUntil(qint64 time)
{
    sqlite3_bind_int64(meta_, 1, time);
    return done(meta_);
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
