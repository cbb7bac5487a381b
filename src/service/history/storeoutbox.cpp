#include "service/history/storeoutbox.h"

#include "service/history/historydatabase.h"
#include "service/history/historywriter.h"
#include "service/history/samplecolumns.h"
#include "service/history/sqlstatement.h"

#include <sqlite3.h>

#include <algorithm>

namespace quorvel::service::history {

namespace {

constexpr qint64 Earliest = std::numeric_limits<qint64>::min();

// Before every row of this time.
OutboxPosition before(qint64 time)
{
    return {time, Earliest};
}

} // namespace

StoreOutbox::StoreOutbox(QString path, HistoryWriter* writer, std::optional<qint64> newestSample,
                         QObject* parent)
    : Outbox(parent), path_(std::move(path)), writer_(writer), horizon_(newestSample.value_or(Earliest))
{
}

StoreOutbox::~StoreOutbox() = default;

HistoryDatabase* StoreOutbox::db() const
{
    if (!db_)
        db_ = HistoryDatabase::open(path_, HistoryDatabase::Mode::Read, nullptr);
    return db_.get();
}

OutboxPosition StoreOutbox::cursor(const QString& output) const
{
    if (const auto found = saved_.constFind(output); found != saved_.cend())
        return *found;
    HistoryDatabase* database = db();
    if (!database)
        return {};
    SqlStatement query(database->handle(), "SELECT time, sensor FROM cursors WHERE output = ?1");
    query.bindText(1, output);
    const int rc = query.step();
    if (rc == SQLITE_ROW)
        return {query.integer(0), query.integer(1)};
    if (rc != SQLITE_DONE)
        db_.reset();
    return {};
}

QList<OutboxRow> StoreOutbox::unsent(OutboxPosition after, int maxRows) const
{
    HistoryDatabase* database = db();
    if (!database || maxRows <= 0)
        return {};
    SqlStatement query(
        database->handle(),
        "SELECT x.time, x.sensor, s.rom, l.source, l.name, x.last, x.raw, x.min, x.max, x.mean,"
        " x.reads, x.failed, x.failures FROM samples x JOIN sensors s ON s.id = x.sensor"
        " JOIN labels l ON l.id = x.label WHERE (x.time, x.sensor) > (?1, ?2) AND x.time < ?3"
        " ORDER BY x.time, x.sensor LIMIT ?4");
    query.bind(1, after.time).bind(2, after.sensor).bind(3, horizon_).bind(4, qint64(maxRows));
    QList<OutboxRow> rows;
    int rc = SQLITE_ROW;
    while ((rc = query.step()) == SQLITE_ROW) {
        OutboxRow& row = rows.emplace_back();
        row.position = {query.integer(0), query.integer(1)};
        row.sample.time = row.position.time;
        row.sample.romCode = query.text(2);
        row.sample.source = query.text(3);
        row.sample.name = query.text(4);
        readSampleColumns(query, 5, row.sample);
    }
    if (rc != SQLITE_DONE) {
        db_.reset();
        return {};
    }
    return rows;
}

std::optional<qint64> StoreOutbox::count(OutboxPosition after, OutboxPosition before) const
{
    HistoryDatabase* database = db();
    if (!database)
        return std::nullopt;
    SqlStatement query(
        database->handle(),
        "SELECT count(*) FROM samples WHERE (time, sensor) > (?1, ?2) AND (time, sensor) < (?3, ?4)");
    query.bind(1, after.time).bind(2, after.sensor).bind(3, before.time).bind(4, before.sensor);
    if (query.step() == SQLITE_ROW)
        return query.integer(0);
    db_.reset();
    return std::nullopt;
}

qint64 StoreOutbox::countUnsent(OutboxPosition after) const
{
    return count(after, before(horizon_)).value_or(0);
}

void StoreOutbox::saveCursor(const QString& output, OutboxPosition position)
{
    OutboxPosition& saved = saved_[output];
    saved = std::max(saved, position);
    if (writer_)
        QMetaObject::invokeMethod(
            writer_, [writer = writer_, output, position] { writer->saveCursor(output, position); },
            Qt::QueuedConnection);
}

void StoreOutbox::setOutputs(const QStringList& names)
{
    if (writer_)
        QMetaObject::invokeMethod(
            writer_, [writer = writer_, names] { writer->setOutputs(names); }, Qt::QueuedConnection);
}

void StoreOutbox::onCommitted(qint64 wholeBefore)
{
    if (wholeBefore <= horizon_)
        return;
    // Unread, the horizon stays: the rows wait for the next batch rather than go uncounted.
    const std::optional<qint64> rows = count(before(horizon_), before(wholeBefore));
    if (!rows)
        return;
    horizon_ = wholeBefore;
    if (*rows > 0)
        emit samplesWritten(*rows);
}

void StoreOutbox::onLost(const QString& output, qint64 rows, qint64 from, qint64 to,
                         OutboxPosition resumeAfter)
{
    if (const auto found = saved_.find(output); found != saved_.end())
        *found = std::max(*found, resumeAfter);
    emit samplesLost(output, rows, from, to, resumeAfter);
}

} // namespace quorvel::service::history
