#include "historyrowwriter.h"
#include "scratchdir.h"
#include "service/history/historydatabase.h"
#include "service/history/historyreader.h"
#include "yeargenerator.h"

#include <QtTest>

#include <sqlite3.h>

using quorvel::historyyear::HistoryRowWriter;
using quorvel::historyyear::StoredHourly;
using quorvel::historyyear::StoredSample;
using quorvel::service::history::HistoryDatabase;
using quorvel::service::history::HistoryReader;
using quorvel::service::history::SampleRow;

namespace {

constexpr qint64 T0 = 1699920000; // a midnight, UTC
constexpr qint64 Day = 86400;
// Hours before this are folded; sensor C has hourly rows before it and samples on both sides.
constexpr qint64 Folded = T0 + 10 * Day;

// "rom source name: time mean min max, ..." with times relative to `base`.
QString seriesText(const QList<quorvel::service::history::Series>& series, qint64 base)
{
    QStringList lines;
    for (const auto& s : series) {
        QStringList points;
        for (const auto& p : s.points) {
            points.append(QStringLiteral("%1 %2 %3 %4")
                              .arg(p.time - base)
                              .arg(QString::number(p.mean))
                              .arg(QString::number(p.min))
                              .arg(QString::number(p.max)));
        }
        lines.append(QStringLiteral("%1 %2 %3: %4")
                         .arg(s.romCode, s.source, s.name, points.join(QStringLiteral(", "))));
    }
    return lines.join(QStringLiteral("; "));
}

QString number(const std::optional<double>& value)
{
    return value ? QString::number(*value) : QStringLiteral("-");
}

QString rowText(const SampleRow& row)
{
    QStringList failures;
    for (std::size_t i = 0; i < row.failures.size(); ++i) {
        if (row.failures[i] > 0)
            failures.append(QStringLiteral("%1x%2").arg(i).arg(row.failures[i]));
    }
    return QStringLiteral("%1 %2 %3 %4 last %5 raw %6 min %7 max %8 mean %9 reads %10 failed %11")
        .arg(row.time - T0)
        .arg(row.romCode, row.source, row.name, number(row.last), number(row.raw), number(row.min),
             number(row.max), number(row.mean))
        .arg(row.reads)
        .arg(failures.join(QLatin1Char(',')));
}

StoredSample sample(qint64 time, std::optional<qint64> mean, std::optional<qint64> min,
                    std::optional<qint64> max, int reads, int failed, const QString& failures = {})
{
    return {time, mean, mean, min, max, mean, reads, failed, failures};
}

} // namespace

class TestHistoryReader : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void stepFor_data();
    void stepFor();
    void series_data();
    void series();
    void cursor_data();
    void cursor();
    void cursorReadsAGeneratedRangeOnceInOrder_data();
    void cursorReadsAGeneratedRangeOnceInOrder();
    void minutesAndFirstTime();
    void missingStoreReadsEmpty();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString path_;
    QString generated_;
};

void TestHistoryReader::initTestCase()
{
    dir_ = quorvel::testing::scratchDir(QStringLiteral("historyreader"));
    path_ = dir_->filePath(QStringLiteral("rows.sqlite"));
    std::optional<quorvel::service::history::OpenError> error;
    {
        const auto db = HistoryDatabase::open(path_, HistoryDatabase::Mode::Write, &error);
        QVERIFY(db);
        HistoryRowWriter w(db->handle());
        const QString a = QStringLiteral("28AA"), b = QStringLiteral("28BB"), c = QStringLiteral("28CC");
        const QString adapter = QStringLiteral("adapter"), w1 = QStringLiteral("w1");
        QVERIFY(w.exec("BEGIN"));
        // A: two samples of one minute weighted by good reads, a minute without a good read, another minute.
        QVERIFY(w.sample(adapter, a, QStringLiteral("Hall"), sample(T0, 20000, 19000, 21000, 2, 0)));
        StoredSample calibrated =
            sample(T0 + 30, 23000, 22000, 26000, 3, 2, QStringLiteral("crc_error:1 no_answer:1"));
        calibrated.raw = 22750;
        QVERIFY(w.sample(adapter, a, QStringLiteral("Hall"), calibrated));
        QVERIFY(w.sample(adapter, a, QStringLiteral("Hall"),
                         sample(T0 + 60, {}, {}, {}, 2, 2, QStringLiteral("x:1"))));
        QVERIFY(w.sample(adapter, a, QStringLiteral("Hall"), sample(T0 + 120, 10000, 10000, 10000, 1, 0)));
        // B: renamed and moved to another source in the range.
        QVERIFY(w.sample(adapter, b, QStringLiteral("Old name"), sample(T0, 5000, 5000, 5000, 1, 0)));
        QVERIFY(w.sample(w1, b, QStringLiteral("New name"), sample(T0 + 120, 7000, 6000, 8000, 1, 0)));
        // C: hourly rows up to Folded; a sample already folded (its hour holds it) and two after.
        QVERIFY(w.hourly(w1, c, QStringLiteral("Cellar"), {T0 - Day, 1000, 1000, 1000, 1, 1}));
        QVERIFY(w.hourly(w1, c, QStringLiteral("Cellar"), {Folded - 7200, 0, 2000, 1000, 10, 12}));
        QVERIFY(w.hourly(w1, c, QStringLiteral("Cellar"), {Folded - 3600, 1500, 2500, 2000, 10, 10}));
        QVERIFY(
            w.sample(w1, c, QStringLiteral("Cellar"), sample(Folded - 3590, 100000, 100000, 100000, 1, 0)));
        QVERIFY(w.sample(w1, c, QStringLiteral("Cellar"), sample(Folded, 3000, 3000, 3000, 1, 0)));
        QVERIFY(w.sample(w1, c, QStringLiteral("Cellar"), sample(Folded + 3610, 4000, 3500, 4500, 2, 0)));
        QVERIFY(w.setFoldedUntil(Folded));
        QVERIFY2(w.exec("COMMIT"), qPrintable(w.error()));
    }
    generated_ = dir_->filePath(QStringLiteral("generated.sqlite"));
    QString message;
    const auto written = quorvel::historyyear::writeYear(generated_, {3, 3, 60, 2, T0}, &message);
    QVERIFY2(written, qPrintable(message));
    QVERIFY(written->samples > 0 && written->hourly > 0);
}

void TestHistoryReader::stepFor_data()
{
    QTest::addColumn<qint64>("range");
    QTest::addColumn<qint64>("requested");
    QTest::addColumn<qint64>("step");
    const qint64 maxPoints = HistoryReader::MaxPoints;
    const qint64 samplesAtMost = HistoryReader::SamplesAtMostSeconds;
    QTest::newRow("an hour, none asked: a minute") << qint64{3600} << qint64{0} << qint64{60};
    QTest::newRow("asked 10 s: a whole minute") << qint64{3600} << qint64{10} << qint64{60};
    QTest::newRow("asked 90 s: two minutes") << qint64{3600} << qint64{90} << qint64{120};
    QTest::newRow("exactly MaxPoints minutes") << maxPoints * 60 << qint64{0} << qint64{60};
    QTest::newRow("a second over MaxPoints minutes") << maxPoints * 60 + 1 << qint64{0} << qint64{120};
    QTest::newRow("a day") << Day << qint64{0} << qint64{60};
    QTest::newRow("exactly the samples' longest range") << samplesAtMost << qint64{0} << qint64{180};
    QTest::newRow("a second over it: whole hours") << samplesAtMost + 1 << qint64{0} << qint64{3600};
    QTest::newRow("a week, asked 90 min") << 7 * Day << qint64{5400} << qint64{7200};
    QTest::newRow("a year: 5 hours") << 365 * Day << qint64{0} << qint64{18000};
    QTest::newRow("an empty range") << qint64{0} << qint64{0} << qint64{60};
}

void TestHistoryReader::stepFor()
{
    QFETCH(qint64, range);
    QFETCH(qint64, requested);
    QFETCH(qint64, step);
    QCOMPARE(HistoryReader::stepFor(T0, T0 + range, requested), step);
    QVERIFY((range + step - 1) / step <= HistoryReader::MaxPoints);
}

void TestHistoryReader::series_data()
{
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("to");
    QTest::addColumn<qint64>("step");
    QTest::addColumn<QString>("rom");
    QTest::addColumn<QString>("expected"); // times relative to from

    QTest::newRow("buckets: weighted mean, min and max, a gap, the latest name")
        << T0 << T0 + 180 << qint64{60} << QString()
        << "28AA adapter Hall: 0 21 19 26, 120 10 10 10; 28BB w1 New name: 0 5 5 5, 120 7 6 8";
    QTest::newRow("end excluded: the name of the range's latest row")
        << T0 << T0 + 60 << qint64{60} << QString()
        << "28AA adapter Hall: 0 21 19 26; 28BB adapter Old name: 0 5 5 5";
    QTest::newRow("a sensor without a good read in the range is there without points")
        << T0 + 60 << T0 + 120 << qint64{60} << QString() << "28AA adapter Hall: ";
    QTest::newRow("one bucket for all")
        << T0 << T0 + 180 << qint64{180} << QStringLiteral("28AA") << "28AA adapter Hall: 0 18.25 10 26";
    QTest::newRow("rom filter") << T0 << T0 + 180 << qint64{60} << QStringLiteral("28BB")
                                << "28BB w1 New name: 0 5 5 5, 120 7 6 8";
    QTest::newRow("unknown rom") << T0 << T0 + 180 << qint64{60} << QStringLiteral("28FF") << QString();
    QTest::newRow("nothing in the range") << T0 - 600 << T0 << qint64{60} << QString() << QString();
    // Long ranges: hourly rows before Folded, samples after it, the folded sample not counted again.
    QTest::newRow("hourly, then samples after folded_until")
        << Folded - 4 * Day << Folded + 7200 << qint64{0} << QStringLiteral("28CC")
        << "28CC w1 Cellar: 338400 1 0 2, 342000 2 1.5 2.5, 345600 3 3 3, 349200 4 3.5 4.5";
    QTest::newRow("a bucket across folded_until weighs the hour and the sample")
        << Folded - 4 * Day - 3600 << Folded + 7200 << qint64{7200} << QString()
        << "28CC w1 Cellar: 338400 1 0 2, 345600 2.09091 1.5 3, 352800 4 3.5 4.5";
}

void TestHistoryReader::series()
{
    QFETCH(qint64, from);
    QFETCH(qint64, to);
    QFETCH(qint64, step);
    QFETCH(QString, rom);
    QFETCH(QString, expected);
    const HistoryReader reader(path_);
    QCOMPARE(seriesText(reader.series(from, to, HistoryReader::stepFor(from, to, step), rom), from),
             expected);
}

void TestHistoryReader::cursor_data()
{
    QTest::addColumn<QString>("rom");
    QTest::addColumn<QStringList>("expected");
    const QString a0 = "0 28AA adapter Hall last 20 raw 20 min 19 max 21 mean 20 reads 2 failed ";
    // Failures by outcome index: crc_error is 6, no_answer 4; an unknown label counts as a read error (9).
    const QString a30 = "30 28AA adapter Hall last 23 raw 22.75 min 22 max 26 mean 23 reads 3 failed 4x1,6x1";
    const QString a60 = "60 28AA adapter Hall last - raw - min - max - mean - reads 2 failed 9x2";
    const QString a120 = "120 28AA adapter Hall last 10 raw 10 min 10 max 10 mean 10 reads 1 failed ";
    const QString b0 = "0 28BB adapter Old name last 5 raw 5 min 5 max 5 mean 5 reads 1 failed ";
    const QString b120 = "120 28BB w1 New name last 7 raw 7 min 6 max 8 mean 7 reads 1 failed ";
    QTest::newRow("all, by time then ROM") << QString() << QStringList{a0, b0, a30, a60, a120, b120};
    QTest::newRow("one ROM") << QStringLiteral("28BB") << QStringList{b0, b120};
    QTest::newRow("unknown ROM") << QStringLiteral("28FF") << QStringList{};
}

void TestHistoryReader::cursor()
{
    QFETCH(QString, rom);
    QFETCH(QStringList, expected);
    const HistoryReader reader(path_);
    const auto cursor = reader.samples(T0, T0 + 180, rom);
    QList<SampleRow> rows;
    while (cursor->next(rows, 100)) {
    }
    QCOMPARE(cursor->error(), QString());
    QStringList texts;
    for (const auto& row : rows)
        texts.append(rowText(row));
    QCOMPARE(texts, expected);
}

void TestHistoryReader::cursorReadsAGeneratedRangeOnceInOrder_data()
{
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QString>("rom");
    QTest::newRow("a row a chunk") << 1 << QString();
    QTest::newRow("chunks that do not divide the range") << 7 << QString();
    QTest::newRow("one chunk larger than the range") << 100000 << QString();
    QTest::newRow("one ROM in chunks") << 5 << quorvel::historyyear::generatedRom(1);
}

void TestHistoryReader::cursorReadsAGeneratedRangeOnceInOrder()
{
    QFETCH(int, chunk);
    QFETCH(QString, rom);
    const qint64 from = T0 - Day - 1800, to = T0 - 10;
    // What the file holds, counted apart from the reader.
    qint64 expected = 0;
    {
        const auto db = HistoryDatabase::open(generated_, HistoryDatabase::Mode::Read, nullptr);
        QVERIFY(db);
        sqlite3_stmt* count = nullptr;
        QCOMPARE(sqlite3_prepare_v2(db->handle(),
                                    "SELECT count(*) FROM samples s JOIN sensors r ON r.id = s.sensor "
                                    "WHERE time >= ?1 AND time < ?2 AND (?3 = '' OR r.rom = ?3)",
                                    -1, &count, nullptr),
                 SQLITE_OK);
        const QByteArray romUtf8 = rom.toUtf8();
        sqlite3_bind_int64(count, 1, from);
        sqlite3_bind_int64(count, 2, to);
        sqlite3_bind_text(count, 3, romUtf8.constData(), -1, SQLITE_TRANSIENT);
        QCOMPARE(sqlite3_step(count), SQLITE_ROW);
        expected = sqlite3_column_int64(count, 0);
        sqlite3_finalize(count);
    }
    QVERIFY(expected > 1000);

    const auto cursor = HistoryReader(generated_).samples(from, to, rom);
    QList<SampleRow> rows;
    bool more = true;
    while (more) {
        const qsizetype before = rows.size();
        more = cursor->next(rows, chunk);
        QVERIFY(rows.size() - before <= chunk);
    }
    QCOMPARE(cursor->error(), QString());
    QCOMPARE(rows.size(), expected);
    for (qsizetype i = 0; i < rows.size(); ++i) {
        QVERIFY(rows[i].time >= from && rows[i].time < to);
        QVERIFY(rom.isEmpty() || rows[i].romCode == rom);
        if (i > 0) {
            QVERIFY2(std::pair(rows[i - 1].time, rows[i - 1].romCode) <
                         std::pair(rows[i].time, rows[i].romCode),
                     qPrintable(QStringLiteral("row %1 out of order").arg(i)));
        }
    }
}

void TestHistoryReader::minutesAndFirstTime()
{
    const HistoryReader reader(path_);
    // Of minute 0 the later sample's last; minute 1 had no good read.
    const auto minutes = reader.minutes(QStringLiteral("28AA"), T0, T0 + 180);
    QCOMPARE(minutes.size(), 2);
    QCOMPARE(minutes[0].minute, T0 / 60);
    QCOMPARE(minutes[0].value, 23.0f);
    QCOMPARE(minutes[1].minute, T0 / 60 + 2);
    QCOMPARE(minutes[1].value, 10.0f);
    QVERIFY(reader.minutes(QStringLiteral("28FF"), T0, T0 + 180).isEmpty());
    // The hourly rows hold the oldest time.
    QCOMPARE(reader.firstTime(), std::optional<qint64>(T0 - Day));
}

void TestHistoryReader::missingStoreReadsEmpty()
{
    const QString missing = dir_->filePath(QStringLiteral("missing.sqlite"));
    const HistoryReader reader(missing);
    QVERIFY(reader.series(T0, T0 + Day, 60).isEmpty());
    QVERIFY(!reader.firstTime());
    QVERIFY(reader.minutes(QStringLiteral("28AA"), T0, T0 + Day).isEmpty());
    const auto cursor = reader.samples(T0, T0 + Day);
    QList<SampleRow> rows;
    QVERIFY(!cursor->next(rows, 10));
    QVERIFY(rows.isEmpty());
    QCOMPARE(cursor->error(), QString());
    QVERIFY(!QFileInfo::exists(missing));
}

QTEST_GUILESS_MAIN(TestHistoryReader)
#include "tst_historyreader.moc"
