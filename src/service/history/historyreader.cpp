#include "service/history/historyreader.h"

#include "service/history/historydatabase.h"
#include "service/history/samplecolumns.h"
#include "service/history/sqlstatement.h"

#include <sqlite3.h>

#include <QHash>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace quorvel::service::history {

namespace {

constexpr qint64 Minute = 60;
constexpr qint64 Hour = 3600;

// Steps to the next row: false at the end of the rows and on an error, which sets failed.
bool nextRow(SqlStatement& query, bool& failed)
{
    const int rc = query.step();
    failed = failed || (rc != SQLITE_ROW && rc != SQLITE_DONE);
    return rc == SQLITE_ROW;
}

qint64 roundUp(qint64 value, qint64 unit)
{
    return (value + unit - 1) / unit * unit;
}

// Hours before this are in the hourly rows; 0 when none is folded yet.
std::optional<qint64> foldedUntil(sqlite3* db)
{
    SqlStatement query(db, "SELECT value FROM meta WHERE key = 'folded_until'");
    bool failed = false;
    if (nextRow(query, failed))
        return query.optional(0).value_or(0);
    return failed ? std::nullopt : std::optional<qint64>(0);
}

// One sensor's buckets as the rows come in, oldest first: a row of the bucket in hand adds to it.
struct SeriesBuilder {
    qint64 label = 0;
    qint64 bucket = -1;
    qint64 min = 0;
    qint64 max = 0;
    double weightedSum = 0;
    qint64 good = 0;
    QList<SeriesPoint> points;

    void flush(qint64 from, qint64 step)
    {
        if (good > 0) {
            points.append({from + bucket * step,
                           fromMilli(std::llround(weightedSum / static_cast<double>(good))), fromMilli(min),
                           fromMilli(max)});
        }
        good = 0;
        weightedSum = 0;
    }
};

// Sums rows of (time, sensor, label, min, max, mean, good) into the builders; false when the store failed.
bool addRows(SqlStatement& rows, qint64 from, qint64 step, QHash<qint64, SeriesBuilder>& builders)
{
    bool failed = false;
    while (nextRow(rows, failed)) {
        SeriesBuilder& builder = builders[rows.integer(1)];
        builder.label = rows.integer(2);
        const qint64 good = rows.integer(6);
        if (!rows.optional(5) || good <= 0)
            continue;
        const qint64 bucket = (rows.integer(0) - from) / step;
        if (bucket != builder.bucket) {
            builder.flush(from, step);
            builder.bucket = bucket;
            builder.min = rows.integer(3);
            builder.max = rows.integer(4);
        }
        builder.min = std::min(builder.min, rows.integer(3));
        builder.max = std::max(builder.max, rows.integer(4));
        builder.weightedSum += static_cast<double>(rows.integer(5)) * static_cast<double>(good);
        builder.good += good;
    }
    return !failed;
}

// The id of a ROM code's sensor, -1 when the store has none, nothing when the store failed.
std::optional<qint64> sensorId(sqlite3* db, const QString& romCode)
{
    SqlStatement query(db, "SELECT id FROM sensors WHERE rom = ?1");
    query.bindText(1, romCode);
    bool failed = false;
    if (nextRow(query, failed))
        return query.integer(0);
    return failed ? std::nullopt : std::optional<qint64>(-1);
}

// The rows of the range in order, a chunk at a time, from a connection of the cursor's own: an export that
// takes long neither holds the page's connection nor dies with it. The rows come in key order (time, then
// sensor id) with no join and no sort in SQLite; each time's few rows are put in ROM order here, and the
// names come from the small sensor and label tables, read once (and again for one added meanwhile).
class SampleCursor final : public HistoryReader::Cursor {
public:
    SampleCursor(std::unique_ptr<HistoryDatabase> db, qint64 from, qint64 to, const QString& romCode)
        : db_(std::move(db)),
          query_(
              db_->handle(),
              "SELECT time, sensor, label, last, raw, min, max, mean, reads, failed, failures FROM samples "
              "WHERE time >= ?1 AND time < ?2 AND (?3 IS NULL OR sensor = ?3) ORDER BY time, sensor")
    {
        query_.bind(1, from);
        query_.bind(2, to);
        if (!romCode.isEmpty()) {
            const std::optional<qint64> sensor = sensorId(db_->handle(), romCode);
            if (!sensor) {
                error_ = QString::fromUtf8(sqlite3_errmsg(db_->handle()));
                done_ = true;
            }
            query_.bind(3, sensor.value_or(-1));
        }
        loadNames();
    }

    bool next(QList<SampleRow>& rows, int maxRows) override
    {
        for (int n = 0; n < maxRows; ++n) {
            if (ready_ == order_.size() && !fillBlock())
                return false;
            rows.append(std::move(block_[order_[ready_++].second]));
        }
        return ready_ < order_.size() || !done_;
    }

    [[nodiscard]] QString error() const override { return error_; }

private:
    // The next time's rows and their ROM order; false at the end of the range.
    bool fillBlock()
    {
        block_.clear();
        order_.clear();
        ready_ = 0;
        if (pending_) {
            order_.append({ranks_.value(pendingSensor_), 0});
            block_.append(std::move(*pending_));
            pending_.reset();
        }
        while (!done_) {
            bool failed = false;
            if (!nextRow(query_, failed)) {
                done_ = true;
                if (failed)
                    error_ = QString::fromUtf8(sqlite3_errmsg(db_->handle()));
                break;
            }
            const qint64 sensor = query_.integer(1);
            SampleRow next = row(sensor);
            if (!block_.isEmpty() && next.time != block_.constFirst().time) {
                pending_ = std::move(next);
                pendingSensor_ = sensor;
                break;
            }
            order_.append({ranks_.value(sensor), static_cast<int>(block_.size())});
            block_.append(std::move(next));
        }
        std::sort(order_.begin(), order_.end());
        return !block_.isEmpty();
    }

    void loadNames()
    {
        bool failed = false;
        SqlStatement sensors(db_->handle(), "SELECT id, rom FROM sensors");
        while (nextRow(sensors, failed))
            roms_.insert(sensors.integer(0), sensors.text(1));
        QList<std::pair<QString, qint64>> byRom;
        for (auto it = roms_.cbegin(); it != roms_.cend(); ++it)
            byRom.append({it.value(), it.key()});
        std::sort(byRom.begin(), byRom.end());
        for (int rank = 0; rank < byRom.size(); ++rank)
            ranks_.insert(byRom[rank].second, rank);
        SqlStatement labels(db_->handle(), "SELECT id, source, name FROM labels");
        while (nextRow(labels, failed))
            labels_.insert(labels.integer(0), {labels.text(1), labels.text(2)});
    }

    [[nodiscard]] SampleRow row(qint64 sensor)
    {
        SampleRow row;
        row.time = query_.integer(0);
        const qint64 label = query_.integer(2);
        auto rom = roms_.constFind(sensor);
        auto names = labels_.constFind(label);
        if (rom == roms_.cend() || names == labels_.cend()) {
            loadNames();
            rom = roms_.constFind(sensor);
            names = labels_.constFind(label);
        }
        if (rom != roms_.cend())
            row.romCode = *rom;
        if (names != labels_.cend())
            std::tie(row.source, row.name) = *names;
        readSampleColumns(query_, 3, row);
        return row;
    }

    std::unique_ptr<HistoryDatabase> db_;
    SqlStatement query_;
    QHash<qint64, QString> roms_;
    QHash<qint64, std::pair<QString, QString>> labels_;
    QHash<qint64, int> ranks_;         // a sensor id's place in ROM order
    QList<SampleRow> block_;           // one time's rows
    QList<std::pair<int, int>> order_; // rank and index in block_, sorted; those before ready_ are handed out
    qsizetype ready_ = 0;
    std::optional<SampleRow> pending_; // the first row of the next time
    qint64 pendingSensor_ = 0;
    bool done_ = false;
    QString error_;
};

// A store that is not there has no rows.
class NoSamples final : public HistoryReader::Cursor {
public:
    bool next(QList<SampleRow>&, int) override { return false; }
    [[nodiscard]] QString error() const override { return {}; }
};

} // namespace

HistoryReader::HistoryReader(QString path, int sampleInterval)
    : path_(std::move(path)),
      samplesAtMost_(SamplesAtMostSeconds * std::max<qint64>(sampleInterval, 1) / DefaultSampleInterval)
{
}

HistoryReader::~HistoryReader() = default;

HistoryDatabase* HistoryReader::db() const
{
    if (!db_)
        db_ = HistoryDatabase::open(path_, HistoryDatabase::Mode::Read, nullptr);
    return db_.get();
}

qint64 HistoryReader::stepFor(qint64 from, qint64 to, qint64 requested, qint64 samplesAtMost)
{
    const qint64 range = std::max<qint64>(to - from, 0);
    const qint64 step = std::max({requested, (range + MaxPoints - 1) / MaxPoints, qint64{1}});
    return roundUp(step, range > samplesAtMost ? Hour : Minute);
}

QList<Series> HistoryReader::series(qint64 from, qint64 to, qint64 step, const QString& romCode) const
{
    HistoryDatabase* database = db();
    if (!database || to <= from)
        return {};
    sqlite3* handle = database->handle();
    step = stepFor(from, to, step, samplesAtMost_);
    const std::optional<qint64> sensor =
        romCode.isEmpty() ? std::optional<qint64>(0) : sensorId(handle, romCode);
    const std::optional<qint64> folded = foldedUntil(handle);
    if (!sensor || !folded) {
        db_.reset();
        return {};
    }
    if (*sensor < 0)
        return {};

    // Long ranges read the hourly rows as far as they are complete, then the samples after them.
    const qint64 split = to - from > samplesAtMost_ ? std::clamp(*folded, from, to) : from;
    QHash<qint64, SeriesBuilder> builders;
    const char* hourlySql = romCode.isEmpty()
                                ? "SELECT time, sensor, label, min, max, mean, good FROM hourly "
                                  "WHERE time >= ?1 AND time < ?2 ORDER BY time, sensor"
                                : "SELECT time, sensor, label, min, max, mean, good FROM hourly "
                                  "WHERE time >= ?1 AND time < ?2 AND sensor = ?3 ORDER BY time, sensor";
    const char* samplesSql = romCode.isEmpty()
                                 ? "SELECT time, sensor, label, min, max, mean, reads - failed FROM samples "
                                   "WHERE time >= ?1 AND time < ?2 ORDER BY time, sensor"
                                 : "SELECT time, sensor, label, min, max, mean, reads - failed FROM samples "
                                   "WHERE time >= ?1 AND time < ?2 AND sensor = ?3 ORDER BY time, sensor";
    SqlStatement hourly(handle, hourlySql);
    SqlStatement samples(handle, samplesSql);
    for (auto [query, begin, end] : {std::tuple{&hourly, from, split}, std::tuple{&samples, split, to}}) {
        if (begin >= end)
            continue;
        query->bind(1, begin);
        query->bind(2, end);
        query->bind(3, *sensor);
        if (!addRows(*query, from, step, builders)) {
            db_.reset();
            return {};
        }
    }

    QHash<qint64, QString> roms;
    QHash<qint64, std::pair<QString, QString>> labels;
    bool failed = false;
    SqlStatement sensorRows(handle, "SELECT id, rom FROM sensors");
    while (nextRow(sensorRows, failed))
        roms.insert(sensorRows.integer(0), sensorRows.text(1));
    SqlStatement labelRows(handle, "SELECT id, source, name FROM labels");
    while (nextRow(labelRows, failed))
        labels.insert(labelRows.integer(0), {labelRows.text(1), labelRows.text(2)});

    QList<Series> result;
    for (auto it = builders.begin(); it != builders.end(); ++it) {
        it->flush(from, step);
        const auto& [source, name] = labels.value(it->label);
        result.append({roms.value(it.key()), source, name, std::move(it->points)});
    }
    std::sort(result.begin(), result.end(),
              [](const Series& a, const Series& b) { return a.romCode < b.romCode; });
    return result;
}

std::optional<qint64> HistoryReader::firstTime() const
{
    HistoryDatabase* database = db();
    if (!database)
        return std::nullopt;
    std::optional<qint64> first;
    // Each a look at the first key of its table.
    for (const char* sql : {"SELECT min(time) FROM hourly", "SELECT min(time) FROM samples"}) {
        SqlStatement query(database->handle(), sql);
        bool failed = false;
        if (nextRow(query, failed) && query.optional(0))
            first = std::min(first.value_or(query.integer(0)), query.integer(0));
        if (failed) {
            db_.reset();
            return std::nullopt;
        }
    }
    return first;
}

std::unique_ptr<HistoryReader::Cursor> HistoryReader::samples(qint64 from, qint64 to,
                                                              const QString& romCode) const
{
    auto db = HistoryDatabase::open(path_, HistoryDatabase::Mode::Read, nullptr);
    if (!db)
        return std::make_unique<NoSamples>();
    return std::make_unique<SampleCursor>(std::move(db), from, to, romCode);
}

QList<HistoryReader::MinutePoint> HistoryReader::minutes(const QString& romCode, qint64 from, qint64 to) const
{
    HistoryDatabase* database = db();
    if (!database)
        return {};
    const std::optional<qint64> sensor = sensorId(database->handle(), romCode);
    if (!sensor || *sensor < 0) {
        if (!sensor)
            db_.reset();
        return {};
    }
    SqlStatement query(database->handle(), "SELECT time, last FROM samples WHERE time >= ?1 AND time < ?2 "
                                           "AND sensor = ?3 AND last IS NOT NULL ORDER BY time");
    query.bind(1, from);
    query.bind(2, to);
    query.bind(3, *sensor);
    QList<MinutePoint> points;
    bool failed = false;
    while (nextRow(query, failed)) {
        const qint64 minute = query.integer(0) / Minute;
        const auto value = static_cast<float>(fromMilli(query.integer(1)));
        if (!points.isEmpty() && points.last().minute == minute)
            points.last().value = value;
        else
            points.append({minute, value});
    }
    if (failed) {
        db_.reset();
        return {};
    }
    return points;
}

} // namespace quorvel::service::history
