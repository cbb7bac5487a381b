#include "service/history/historyreader.h"

#include "service/history/historydatabase.h"

#include <sqlite3.h>

#include <QHash>

#include <algorithm>
#include <cmath>

namespace quorvel::service::history {

namespace {

constexpr qint64 Minute = 60;
constexpr qint64 Hour = 3600;
constexpr double Thousandths = 1000.0;

// A prepared statement, finalized with the object; a failed prepare leaves it null and every step done.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    [[nodiscard]] bool ok() const { return stmt_ != nullptr; }
    void bind(int index, qint64 value) { sqlite3_bind_int64(stmt_, index, value); }
    void bind(int index, const QString& text)
    {
        const QByteArray utf8 = text.toUtf8();
        sqlite3_bind_text(stmt_, index, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    }
    // A row is there; false at the end and on an error (failed() tells which).
    bool step()
    {
        if (!stmt_)
            return false;
        const int rc = sqlite3_step(stmt_);
        failed_ = rc != SQLITE_ROW && rc != SQLITE_DONE;
        return rc == SQLITE_ROW;
    }
    [[nodiscard]] bool failed() const { return !stmt_ || failed_; }
    [[nodiscard]] bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    [[nodiscard]] qint64 integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    [[nodiscard]] QString text(int column) const
    {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return QString::fromUtf8(bytes, sqlite3_column_bytes(stmt_, column));
    }
    [[nodiscard]] std::optional<double> degrees(int column) const
    {
        if (isNull(column))
            return std::nullopt;
        return static_cast<double>(integer(column)) / Thousandths;
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    bool failed_ = false;
};

qint64 roundUp(qint64 value, qint64 unit)
{
    return (value + unit - 1) / unit * unit;
}

// Hours before this are in the hourly rows; 0 when none is folded yet.
std::optional<qint64> foldedUntil(sqlite3* db)
{
    Statement query(db, "SELECT value FROM meta WHERE key = 'folded_until'");
    if (query.step())
        return query.isNull(0) ? 0 : query.integer(0);
    return query.failed() ? std::nullopt : std::optional<qint64>(0);
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
            points.append({from + bucket * step, weightedSum / static_cast<double>(good) / Thousandths,
                           static_cast<double>(min) / Thousandths, static_cast<double>(max) / Thousandths});
        }
        good = 0;
        weightedSum = 0;
    }
};

// Sums rows of (time, sensor, label, min, max, mean, good) into the builders; false when the store failed.
bool addRows(Statement& rows, qint64 from, qint64 step, QHash<qint64, SeriesBuilder>& builders)
{
    while (rows.step()) {
        SeriesBuilder& builder = builders[rows.integer(1)];
        builder.label = rows.integer(2);
        const qint64 good = rows.integer(6);
        if (rows.isNull(5) || good <= 0)
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
    return !rows.failed();
}

// The id of a ROM code's sensor, -1 when the store has none, nothing when the store failed.
std::optional<qint64> sensorId(sqlite3* db, const QString& romCode)
{
    Statement query(db, "SELECT id FROM sensors WHERE rom = ?1");
    query.bind(1, romCode);
    if (query.step())
        return query.integer(0);
    return query.failed() ? std::nullopt : std::optional<qint64>(-1);
}

// Each outcome's count from the stored text; a count the text does not name stays a read error.
void parseFailures(const QString& text, int failed, std::array<int, acquisition::ReadOutcomeCount>& failures)
{
    int named = 0;
    for (const QStringView item : QStringView(text).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const qsizetype colon = item.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const int count = colon > 0 ? item.mid(colon + 1).toInt(&ok) : 0;
        if (!ok || count <= 0)
            continue;
        const QStringView label = item.left(colon);
        for (std::size_t i = 1; i < acquisition::ReadOutcomeLabels.size(); ++i) {
            const std::string_view known = acquisition::ReadOutcomeLabels[i].second;
            if (label == QLatin1String(known.data(), static_cast<qsizetype>(known.size()))) {
                failures[i] += count;
                named += count;
                break;
            }
        }
    }
    if (failed > named)
        failures[static_cast<std::size_t>(acquisition::ReadOutcome::ReadError)] += failed - named;
}

// The rows of the range in order, a chunk at a time, from a connection of the cursor's own: an export that
// takes long neither holds the page's connection nor dies with it.
class SampleCursor final : public HistoryReader::Cursor {
public:
    SampleCursor(std::unique_ptr<HistoryDatabase> db, qint64 from, qint64 to, const QString& romCode)
        : db_(std::move(db)),
          query_(
              db_ ? db_->handle() : nullptr,
              romCode.isEmpty()
                  ? "SELECT s.time, l.source, r.rom, l.name, s.last, s.raw, s.min, s.max, s.mean, s.reads, "
                    "s.failed, s.failures FROM samples s JOIN sensors r ON r.id = s.sensor "
                    "JOIN labels l ON l.id = s.label WHERE s.time >= ?1 AND s.time < ?2 ORDER BY s.time, "
                    "r.rom"
                  : "SELECT s.time, l.source, r.rom, l.name, s.last, s.raw, s.min, s.max, s.mean, s.reads, "
                    "s.failed, s.failures FROM samples s JOIN sensors r ON r.id = s.sensor "
                    "JOIN labels l ON l.id = s.label WHERE s.time >= ?1 AND s.time < ?2 AND r.rom = ?3 "
                    "ORDER BY s.time, r.rom")
    {
        query_.bind(1, from);
        query_.bind(2, to);
        if (!romCode.isEmpty())
            query_.bind(3, romCode);
        // A missing store has no rows; any other failure to read is told.
        done_ = !db_;
    }

    bool next(QList<SampleRow>& rows, int maxRows) override
    {
        for (int n = 0; !done_ && n < maxRows; ++n) {
            if (!query_.step()) {
                done_ = true;
                if (query_.failed())
                    error_ = db_ ? QString::fromUtf8(sqlite3_errmsg(db_->handle())) : QString();
                break;
            }
            rows.append(row());
        }
        return !done_;
    }

    [[nodiscard]] QString error() const override { return error_; }

private:
    [[nodiscard]] SampleRow row() const
    {
        SampleRow row;
        row.time = query_.integer(0);
        row.source = query_.text(1);
        row.romCode = query_.text(2);
        row.name = query_.text(3);
        row.last = query_.degrees(4);
        row.raw = query_.isNull(5) ? row.last : query_.degrees(5);
        row.min = query_.degrees(6);
        row.max = query_.degrees(7);
        row.mean = query_.degrees(8);
        row.reads = static_cast<int>(query_.integer(9));
        parseFailures(query_.text(11), static_cast<int>(query_.integer(10)), row.failures);
        return row;
    }

    std::unique_ptr<HistoryDatabase> db_;
    mutable Statement query_;
    bool done_ = false;
    QString error_;
};

} // namespace

HistoryReader::HistoryReader(QString path) : path_(std::move(path)) {}

HistoryReader::~HistoryReader() = default;

HistoryDatabase* HistoryReader::db() const
{
    if (!db_)
        db_ = HistoryDatabase::open(path_, HistoryDatabase::Mode::Read, nullptr);
    return db_.get();
}

qint64 HistoryReader::stepFor(qint64 from, qint64 to, qint64 requested)
{
    const qint64 range = std::max<qint64>(to - from, 0);
    const qint64 step = std::max({requested, (range + MaxPoints - 1) / MaxPoints, qint64{1}});
    return roundUp(step, range > SamplesAtMostSeconds ? Hour : Minute);
}

QList<Series> HistoryReader::series(qint64 from, qint64 to, qint64 step, const QString& romCode) const
{
    HistoryDatabase* database = db();
    if (!database || to <= from)
        return {};
    sqlite3* handle = database->handle();
    step = stepFor(from, to, step);
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
    const qint64 split = to - from > SamplesAtMostSeconds ? std::clamp(*folded, from, to) : from;
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
    Statement hourly(handle, hourlySql);
    Statement samples(handle, samplesSql);
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
    Statement sensorRows(handle, "SELECT id, rom FROM sensors");
    while (sensorRows.step())
        roms.insert(sensorRows.integer(0), sensorRows.text(1));
    Statement labelRows(handle, "SELECT id, source, name FROM labels");
    while (labelRows.step())
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
        Statement query(database->handle(), sql);
        if (query.step() && !query.isNull(0))
            first = std::min(first.value_or(query.integer(0)), query.integer(0));
        if (query.failed()) {
            db_.reset();
            return std::nullopt;
        }
    }
    return first;
}

std::unique_ptr<HistoryReader::Cursor> HistoryReader::samples(qint64 from, qint64 to,
                                                              const QString& romCode) const
{
    return std::make_unique<SampleCursor>(HistoryDatabase::open(path_, HistoryDatabase::Mode::Read, nullptr),
                                          from, to, romCode);
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
    Statement query(database->handle(), "SELECT time, last FROM samples WHERE time >= ?1 AND time < ?2 "
                                        "AND sensor = ?3 AND last IS NOT NULL ORDER BY time");
    query.bind(1, from);
    query.bind(2, to);
    query.bind(3, *sensor);
    QList<MinutePoint> points;
    while (query.step()) {
        const qint64 minute = query.integer(0) / Minute;
        const auto value = static_cast<float>(static_cast<double>(query.integer(1)) / Thousandths);
        if (!points.isEmpty() && points.last().minute == minute)
            points.last().value = value;
        else
            points.append({minute, value});
    }
    if (query.failed()) {
        db_.reset();
        return {};
    }
    return points;
}

} // namespace quorvel::service::history
