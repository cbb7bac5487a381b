#include "service/history/historywriter.h"

#include "service/history/historydatabase.h"
#include "service/history/sqlstatement.h"

#include <QDir>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <tuple>

namespace quorvel::service::history {

namespace {

constexpr qint64 HourSeconds = 3600;
constexpr qint64 DaySeconds = 24 * HourSeconds;
constexpr qint64 PruneEverySeconds = HourSeconds;

// A sample row as the table holds it: thousandths, raw only where it differs from last.
struct StoredSample {
    std::optional<qint64> last, raw, min, max, mean;
    qint64 reads = 0;
    std::array<int, acquisition::ReadOutcomeCount> failures{};

    [[nodiscard]] qint64 failed() const { return std::accumulate(failures.begin() + 1, failures.end(), 0); }
    [[nodiscard]] qint64 good() const { return reads - failed(); }
};

std::optional<qint64> milli(const std::optional<double>& celsius)
{
    return celsius ? std::optional<qint64>(toMilli(*celsius)) : std::nullopt;
}

StoredSample stored(const SampleRow& row)
{
    StoredSample sample{milli(row.last), milli(row.raw), milli(row.min), milli(row.max),
                        milli(row.mean), row.reads,      row.failures};
    sample.failures[0] = 0;
    return sample;
}

std::optional<qint64> pick(std::optional<qint64> a, std::optional<qint64> b, const auto& better)
{
    if (!a || !b)
        return a ? a : b;
    return better(*a, *b) ? a : b;
}

// Two parts of one interval as one: a restart, or two sweeps of the same second.
StoredSample merged(const StoredSample& old, const StoredSample& next)
{
    StoredSample sample = next;
    sample.reads = old.reads + next.reads;
    for (std::size_t i = 0; i < sample.failures.size(); ++i)
        sample.failures[i] = old.failures[i] + next.failures[i];
    if (!next.last) {
        sample.last = old.last;
        sample.raw = old.raw;
    }
    sample.min = pick(old.min, next.min, std::less<>());
    sample.max = pick(old.max, next.max, std::greater<>());
    const qint64 oldGood = old.mean ? old.good() : 0;
    const qint64 nextGood = next.mean ? next.good() : 0;
    if (oldGood + nextGood > 0)
        sample.mean = std::llround((double(old.mean.value_or(0)) * double(oldGood) +
                                    double(next.mean.value_or(0)) * double(nextGood)) /
                                   double(oldGood + nextGood));
    return sample;
}

bool isFullDisk(int code)
{
    return (code & 0xff) == SQLITE_FULL || (code & 0xff) == SQLITE_IOERR;
}

QString kindLabel(EventRow::Kind kind)
{
    return kind == EventRow::Kind::Alarm ? QStringLiteral("alarm") : QStringLiteral("reachability");
}

} // namespace

HistoryWriter::HistoryWriter(std::unique_ptr<HistoryDatabase> database, const StoreSettings& settings)
    : database_(std::move(database)), settings_(settings),
      heldAtMost_(std::size_t(HourSeconds / std::max<qint64>(settings.sampleInterval, 1)))
{
    sqlite3* db = database_->handle();
    const auto prepare = [db](const char* sql) { return std::make_unique<SqlStatement>(db, sql); };
    insertSensor_ = prepare("INSERT INTO sensors(rom) VALUES(?1) ON CONFLICT(rom) DO NOTHING");
    selectSensor_ = prepare("SELECT id FROM sensors WHERE rom = ?1");
    insertLabel_ =
        prepare("INSERT INTO labels(source, name) VALUES(?1, ?2) ON CONFLICT(source, name) DO NOTHING");
    selectLabel_ = prepare("SELECT id FROM labels WHERE source = ?1 AND name = ?2");
    selectSample_ = prepare("SELECT last, raw, min, max, mean, reads, failures FROM samples"
                            " WHERE time = ?1 AND sensor = ?2");
    replaceSample_ =
        prepare("INSERT OR REPLACE INTO samples(time, sensor, label, last, raw, min, max, mean,"
                " reads, failed, failures) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    insertEvent_ = prepare("INSERT INTO events(time, kind, source, rom, \"from\", \"to\", detail)"
                           " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    // The hour's label is its last sample's; its mean weighs each sample's by its good reads.
    foldHours_ = prepare("INSERT OR REPLACE INTO hourly(time, sensor, label, min, max, mean, good, reads)"
                         " SELECT h.hour, h.sensor, (SELECT label FROM samples l WHERE l.sensor = h.sensor"
                         "   AND l.time >= h.hour AND l.time < h.hour + 3600 ORDER BY l.time DESC LIMIT 1),"
                         "  h.min, h.max, CAST(round(h.mean) AS INTEGER), h.good, h.reads"
                         " FROM (SELECT time - time % 3600 AS hour, sensor, min(min) AS min, max(max) AS max,"
                         "   sum(mean * (reads - failed)) * 1.0"
                         "   / sum(CASE WHEN mean IS NULL THEN 0 ELSE reads - failed END) AS mean,"
                         "   sum(reads - failed) AS good, sum(reads) AS reads"
                         "  FROM samples WHERE time >= ?1 AND time < ?2 GROUP BY hour, sensor) AS h");
    readMeta_ = prepare("SELECT value FROM meta WHERE key = 'folded_until'");
    writeMeta_ = prepare("INSERT OR REPLACE INTO meta(key, value) VALUES('folded_until', ?1)");
    // A prune takes a prefix of the samples in key order: up to its last row, which this finds.
    pruneEnd_ = prepare("SELECT time, sensor FROM (SELECT time, sensor FROM samples WHERE time < ?1"
                        " ORDER BY time, sensor LIMIT ?2) ORDER BY time DESC, sensor DESC LIMIT 1");
    pruneSamples_ = prepare("DELETE FROM samples WHERE (time, sensor) <= (?1, ?2)");
    pruneHourly_ = prepare("DELETE FROM hourly WHERE (time, sensor) IN"
                           " (SELECT time, sensor FROM hourly WHERE time < ?1 ORDER BY time LIMIT ?2)");
    readCursor_ = prepare("SELECT time, sensor FROM cursors WHERE output = ?1");
    writeCursor_ = prepare("INSERT INTO cursors(output, time, sensor) VALUES(?1, ?2, ?3) ON CONFLICT(output)"
                           " DO UPDATE SET time = excluded.time, sensor = excluded.sensor"
                           " WHERE (excluded.time, excluded.sensor) > (cursors.time, cursors.sensor)");
    countAfter_ = prepare("SELECT count(*), min(time), max(time) FROM samples"
                          " WHERE (time, sensor) > (?1, ?2) AND (time, sensor) <= (?3, ?4)");
}

HistoryWriter::~HistoryWriter() = default;

void HistoryWriter::start()
{
    sqlite3_stmt* newest = nullptr;
    sqlite3* db = database_->handle();
    std::optional<qint64> time;
    if (sqlite3_prepare_v2(db, "SELECT max(time) FROM samples", -1, &newest, nullptr) == SQLITE_OK &&
        sqlite3_step(newest) == SQLITE_ROW && sqlite3_column_type(newest, 0) != SQLITE_NULL)
        time = sqlite3_column_int64(newest, 0);
    sqlite3_finalize(newest);
    if (!time)
        return;
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return;
    if (fold(*time) && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
        return;
    if (!sqlite3_get_autocommit(db))
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void HistoryWriter::write(const Batch& batch)
{
    if (!batch.isEmpty())
        held_.push_back(batch);
    while (held_.size() > heldAtMost_) {
        held_.pop_front();
        ++dropped_;
    }
    while (!held_.empty()) {
        Failure failure;
        if (!transaction(held_.front(), &failure)) {
            if (failing_ && !batch.isEmpty())
                ++heldSinceFailure_;
            failed(failure);
            return;
        }
        held_.pop_front();
    }
    if (failing_) {
        emit notice(
            QStringLiteral("the history store is written again (%1): %2 intervals were held meanwhile, "
                           "%3 of them dropped")
                .arg(QDir::toNativeSeparators(database_->path()))
                .arg(heldSinceFailure_)
                .arg(dropped_));
        failing_ = false;
        heldSinceFailure_ = 0;
        dropped_ = 0;
    }
}

void HistoryWriter::failed(const Failure& failure)
{
    if (failing_)
        return;
    failing_ = true;
    heldSinceFailure_ = qint64(held_.size());
    const QString why = isFullDisk(failure.code) ? QStringLiteral("the disk is full") : failure.message;
    emit notice(
        QStringLiteral("the history store cannot be written: %1 (%2); the sweep and the text log go on")
            .arg(why, QDir::toNativeSeparators(database_->path())));
}

bool HistoryWriter::transaction(const Batch& batch, Failure* failure)
{
    sqlite3* db = database_->handle();
    QHash<QString, qint64> sensors = sensorIds_;
    QHash<QString, qint64> labels = labelIds_;
    std::optional<qint64> newestSample;
    qint64 newest = 0;
    for (const SampleRow& row : batch.samples) {
        newestSample = std::max(newestSample.value_or(row.time), row.time);
        newest = std::max(newest, row.time);
    }
    for (const EventRow& row : batch.events)
        newest = std::max(newest, row.time);
    const auto pruneState = std::make_pair(prunedAt_, pruneBacklog_);

    bool ok = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (qsizetype i = 0; ok && i < batch.samples.size(); ++i)
        ok = writeSample(batch.samples[i], sensors, labels);
    for (qsizetype i = 0; ok && i < batch.events.size(); ++i)
        ok = writeEvent(batch.events[i]);
    ok = ok && (!newestSample || fold(*newestSample)) && prune(newest);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    const QList<Loss> losses = std::exchange(losses_, {});
    if (ok) {
        sensorIds_ = std::move(sensors);
        labelIds_ = std::move(labels);
        emit committed(batch.wholeBefore);
        for (const Loss& loss : losses)
            emit samplesLost(loss.output, loss.rows, loss.from, loss.to, loss.resume.time,
                             loss.resume.sensor);
        return true;
    }
    failure->code = sqlite3_extended_errcode(db);
    failure->message = QString::fromUtf8(sqlite3_errmsg(db));
    if (!sqlite3_get_autocommit(db))
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    std::tie(prunedAt_, pruneBacklog_) = pruneState;
    return false;
}

std::optional<qint64> HistoryWriter::idOf(SqlStatement& insert, SqlStatement& select, const QStringList& key)
{
    for (qsizetype i = 0; i < key.size(); ++i) {
        insert.bindText(int(i) + 1, key[i]);
        select.bindText(int(i) + 1, key[i]);
    }
    if (insert.run() != SQLITE_DONE)
        return std::nullopt;
    std::optional<qint64> id;
    if (select.step() == SQLITE_ROW)
        id = select.integer(0);
    select.reset();
    return id;
}

bool HistoryWriter::writeSample(const SampleRow& row, QHash<QString, qint64>& sensors,
                                QHash<QString, qint64>& labels)
{
    if (!sensors.contains(row.romCode)) {
        const auto id = idOf(*insertSensor_, *selectSensor_, {row.romCode});
        if (!id)
            return false;
        sensors.insert(row.romCode, *id);
    }
    const QString labelKey = row.source + QChar(0) + row.name;
    if (!labels.contains(labelKey)) {
        const auto id = idOf(*insertLabel_, *selectLabel_, {row.source, row.name});
        if (!id)
            return false;
        labels.insert(labelKey, *id);
    }
    const qint64 sensor = sensors.value(row.romCode);
    StoredSample sample = stored(row);
    selectSample_->bind(1, row.time).bind(2, sensor);
    const int found = selectSample_->step();
    if (found == SQLITE_ROW) {
        StoredSample old{selectSample_->optional(0),           selectSample_->optional(1),
                         selectSample_->optional(2),           selectSample_->optional(3),
                         selectSample_->optional(4),           selectSample_->integer(5),
                         parseFailures(selectSample_->text(6))};
        if (!old.raw)
            old.raw = old.last;
        sample = merged(old, sample);
    }
    selectSample_->reset();
    if (found != SQLITE_ROW && found != SQLITE_DONE)
        return false;
    const QString failures = failuresText(sample.failures);
    replaceSample_->bind(1, row.time)
        .bind(2, sensor)
        .bind(3, labels.value(labelKey))
        .bind(4, sample.last)
        .bind(5, sample.raw == sample.last ? std::nullopt : sample.raw)
        .bind(6, sample.min)
        .bind(7, sample.max)
        .bind(8, sample.mean)
        .bind(9, sample.reads)
        .bind(10, sample.failed())
        .bind(11, failures.isEmpty() ? QString() : failures);
    return replaceSample_->run() == SQLITE_DONE;
}

bool HistoryWriter::writeEvent(const EventRow& row)
{
    insertEvent_->bind(1, row.time)
        .bind(2, kindLabel(row.kind))
        .bind(3, row.source)
        .bind(4, row.romCode.isEmpty() ? QString() : row.romCode)
        .bind(5, row.from)
        .bind(6, row.to)
        .bind(7, row.detail.isEmpty() ? QString() : row.detail);
    return insertEvent_->run() == SQLITE_DONE;
}

bool HistoryWriter::fold(qint64 newest)
{
    std::optional<qint64> foldedUntil;
    const int rc = readMeta_->step();
    if (rc == SQLITE_ROW)
        foldedUntil = readMeta_->optional(0);
    readMeta_->reset();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return false;
    const qint64 until = newest - newest % HourSeconds;
    if (foldedUntil && *foldedUntil >= until)
        return true;
    return foldHours_->bind(1, foldedUntil.value_or(0)).bind(2, until).run() == SQLITE_DONE &&
           writeMeta_->bind(1, until).run() == SQLITE_DONE;
}

bool HistoryWriter::prune(qint64 newest)
{
    if (!pruneBacklog_ && newest - prunedAt_ < PruneEverySeconds)
        return true;
    std::optional<qint64> foldedUntil;
    if (readMeta_->step() == SQLITE_ROW)
        foldedUntil = readMeta_->optional(0);
    readMeta_->reset();
    sqlite3* db = database_->handle();
    bool backlog = false;
    // Samples go only once their hour is folded, so the hourly rows stay whole.
    if (settings_.keepSamplesDays > 0 && foldedUntil) {
        const qint64 cut = std::min(newest - settings_.keepSamplesDays * DaySeconds, *foldedUntil);
        pruneEnd_->bind(1, cut).bind(2, qint64(PruneAtMost));
        const int rc = pruneEnd_->step();
        const OutboxPosition end{pruneEnd_->integer(0), pruneEnd_->integer(1)};
        pruneEnd_->reset();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return false;
        if (rc == SQLITE_ROW) {
            if (!takeLosses(end) || pruneSamples_->bind(1, end.time).bind(2, end.sensor).run() != SQLITE_DONE)
                return false;
            backlog = sqlite3_changes(db) >= PruneAtMost;
        }
    }
    if (settings_.keepHourlyDays > 0) {
        const qint64 cut = newest - settings_.keepHourlyDays * DaySeconds;
        if (pruneHourly_->bind(1, cut).bind(2, qint64(PruneAtMost)).run() != SQLITE_DONE)
            return false;
        backlog = backlog || sqlite3_changes(db) >= PruneAtMost;
    }
    prunedAt_ = newest;
    pruneBacklog_ = backlog;
    return true;
}

bool HistoryWriter::takeLosses(OutboxPosition end)
{
    for (const QString& output : std::as_const(outputs_)) {
        OutboxPosition cursor;
        readCursor_->bindText(1, output);
        int rc = readCursor_->step();
        if (rc == SQLITE_ROW)
            cursor = {readCursor_->integer(0), readCursor_->integer(1)};
        readCursor_->reset();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return false;
        if (cursor >= end)
            continue;
        countAfter_->bind(1, cursor.time).bind(2, cursor.sensor).bind(3, end.time).bind(4, end.sensor);
        rc = countAfter_->step();
        const Loss loss{output, countAfter_->integer(0), countAfter_->integer(1), countAfter_->integer(2),
                        end};
        countAfter_->reset();
        if (rc != SQLITE_ROW || !storeCursor(output, end))
            return false;
        if (loss.rows > 0)
            losses_.append(loss);
    }
    return true;
}

bool HistoryWriter::storeCursor(const QString& output, OutboxPosition position)
{
    return writeCursor_->bindText(1, output).bind(2, position.time).bind(3, position.sensor).run() ==
           SQLITE_DONE;
}

void HistoryWriter::setOutputs(const QStringList& names)
{
    outputs_ = names;
}

void HistoryWriter::saveCursor(const QString& output, OutboxPosition position)
{
    // Its own small transaction. A failure keeps the earlier cursor: the rows after it are sent again.
    static_cast<void>(storeCursor(output, position));
}

} // namespace quorvel::service::history
