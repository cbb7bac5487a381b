// The history store's reading side over a store written by quorvel3-history-year: the file's size by table,
// the time of each chart range, and a month's export read through the cursor with the memory it takes.
#include "service/history/historydatabase.h"
#include "service/history/historyreader.h"

#include "processprobe.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>

using quorvel::bench::ProcessProbe;
using quorvel::service::history::HistoryDatabase;
using quorvel::service::history::HistoryReader;
using quorvel::service::history::SampleRow;

namespace {

constexpr qint64 Day = 86400;

// One number a query gives, -1 when it gives none.
qint64 scalar(sqlite3* db, const char* sql)
{
    sqlite3_stmt* stmt = nullptr;
    qint64 value = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
        value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption store(QStringLiteral("store"), QStringLiteral("The generated store."),
                                   QStringLiteral("path"));
    const QCommandLineOption chunk(QStringLiteral("chunk"), QStringLiteral("Rows a cursor step."),
                                   QStringLiteral("rows"), QStringLiteral("1000"));
    parser.addOptions({store, chunk});
    parser.process(app);
    const QString path = parser.value(store);

    qint64 end = 0, sensors = 0, sampleDays = 0, hourlyYears = 0, samplesBytes = 0, hourlyBytes = 0;
    {
        const auto db = HistoryDatabase::open(path, HistoryDatabase::Mode::Read, nullptr);
        if (!db) {
            std::fprintf(stderr, "cannot read the store %s\n", qPrintable(path));
            return 1;
        }
        sqlite3* h = db->handle();
        end = scalar(h, "SELECT max(time) FROM samples") + 1;
        sensors = std::max<qint64>(1, scalar(h, "SELECT count(*) FROM sensors"));
        sampleDays = std::max<qint64>(1, (end - scalar(h, "SELECT min(time) FROM samples") + Day - 1) / Day);
        hourlyYears =
            std::max<qint64>(1, (end - scalar(h, "SELECT min(time) FROM hourly") + 364 * Day) / (365 * Day));
        samplesBytes = scalar(h, "SELECT sum(pgsize) FROM dbstat WHERE name = 'samples'");
        hourlyBytes = scalar(h, "SELECT sum(pgsize) FROM dbstat WHERE name = 'hourly'");
    }
    std::printf("size bytes=%lld sensors=%lld sample_days=%lld samples_bytes_per_sensor_day=%lld "
                "hourly_bytes_per_sensor_year=%lld\n",
                static_cast<long long>(QFileInfo(path).size()), static_cast<long long>(sensors),
                static_cast<long long>(sampleDays),
                static_cast<long long>(samplesBytes / sensors / sampleDays),
                static_cast<long long>(hourlyBytes / sensors / hourlyYears));

    const HistoryReader reader(path);
    const qint64 first = reader.firstTime().value_or(end);
    const std::pair<const char*, qint64> ranges[] = {
        {"24h", Day},      {"3d", HistoryReader::SamplesAtMostSeconds},
        {"7d", 7 * Day},   {"30d", 30 * Day},
        {"1y", 365 * Day}, {"all", end - first}};
    for (const auto& [name, range] : ranges) {
        // The median of three, and the first: the range's pages not yet in the connection's cache.
        qint64 times[3] = {};
        qsizetype points = 0;
        for (qint64& ns : times) {
            QElapsedTimer timer;
            timer.start();
            const auto series = reader.series(end - range, end, HistoryReader::stepFor(end - range, end, 0));
            ns = timer.nsecsElapsed();
            points = 0;
            for (const auto& s : series)
                points += s.points.size();
        }
        const qint64 firstNs = times[0];
        std::sort(std::begin(times), std::end(times));
        std::printf("series range=%s step=%lld points=%lld ms=%.1f first_ms=%.1f\n", name,
                    static_cast<long long>(HistoryReader::stepFor(end - range, end, 0)),
                    static_cast<long long>(points), static_cast<double>(times[1]) / 1e6,
                    static_cast<double>(firstNs) / 1e6);
    }

    const long rssBefore = ProcessProbe::statusKb("VmRSS").value_or(-1);
    const double cpuBefore = ProcessProbe::cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    const auto cursor = reader.samples(end - 30 * Day, end);
    QList<SampleRow> rows;
    qint64 count = 0;
    const int chunkRows = parser.value(chunk).toInt();
    while (cursor->next(rows, chunkRows)) {
        count += rows.size();
        rows.clear();
    }
    count += rows.size();
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    const double cpuSeconds = ProcessProbe::cpuSeconds() - cpuBefore;
    const long hwm = ProcessProbe::statusKb("VmHWM").value_or(-1);
    std::printf("cursor days=30 rows=%lld seconds=%.2f cpu_seconds=%.2f rss_before_kb=%lld "
                "vmhwm_after_kb=%lld growth_kb=%lld%s\n",
                static_cast<long long>(count), seconds, cpuSeconds, static_cast<long long>(rssBefore),
                static_cast<long long>(hwm), static_cast<long long>(hwm - rssBefore),
                cursor->error().isEmpty() ? ""
                                          : qPrintable(QStringLiteral(" error=\"%1\"").arg(cursor->error())));
    return cursor->error().isEmpty() ? 0 : 1;
}
