#include "logfile/logfilereader.h"
#include "logfile/logruns.h"
#include "logtoolfixture.h"
#include "sensorstatistics.h"

#include <QtTest>

#include <algorithm>
#include <ctime>
#include <numeric>

using namespace logtoolfixture;
using quorvel::logfile::LogRuns;
using quorvel::logtool::LogFigures;
using quorvel::logtool::SensorStatistics;

namespace {

QList<LogRecord> atSeconds(const QList<int>& seconds)
{
    const QDateTime start(QDate(2007, 3, 14), QTime(12, 0));
    QList<LogRecord> records;
    for (const int s : seconds) {
        LogRecord r;
        r.when = start.addSecs(s);
        records << r;
    }
    return records;
}

// One sensor's values, all other sensors zero, a record every 10 s.
QList<LogRecord> withValues(const QList<float>& values)
{
    QList<LogRecord> records;
    QDateTime when(QDate(2007, 3, 14), QTime(12, 0));
    for (const float v : values) {
        LogRecord r;
        r.when = when;
        r.readings[0] = v;
        records << r;
        when = when.addSecs(10);
    }
    return records;
}

} // namespace

class TestSensorStatistics : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void figuresOfTheWrittenLog_data();
    void figuresOfTheWrittenLog();
    void staleLimit_data();
    void staleLimit();
    void splitsAtGaps_data();
    void splitsAtGaps();
    void csvHasOneRowPerSensor();
};

void TestSensorStatistics::initTestCase()
{
    // Fixed offsets in the expected CSV.
    qputenv("TZ", "UTC");
    tzset();
}

void TestSensorStatistics::figuresOfTheWrittenLog_data()
{
    QTest::addColumn<QString>("locale");
    QTest::newRow("en_US") << "en_US";
    QTest::newRow("de_DE") << "de_DE";
}

void TestSensorStatistics::figuresOfTheWrittenLog()
{
    QFETCH(QString, locale);
    const auto dir = scratchDir();
    const QString path = dir->filePath(QStringLiteral("run.log"));
    const StandardLog log = standardLog();
    QVERIFY(writeStandardLog(path, QLocale(locale), log));
    const auto read = quorvel::logfile::readLogFile(contents(path), QLocale(locale));
    const LogFigures figures = SensorStatistics::compute(read.records);

    const QList<LogRecord> written = log.all();
    QCOMPARE(figures.records, written.size());
    QCOMPARE(figures.periods, 3);
    QCOMPARE(figures.first, written.first().when);
    QCOMPARE(figures.last, written.last().when);
    for (std::size_t slot = 0; slot < LogRecord::ReadingCount; ++slot) {
        QList<float> values;
        for (const LogRecord& r : written)
            values << r.readings[slot];
        // Walk back from the end to where the last value began.
        qsizetype begin = values.size() - 1;
        while (begin > 0 && values.at(begin - 1) == values.last())
            --begin;
        const auto& s = figures.sensors[slot];
        QCOMPARE(s.sensor, int(slot) + 1);
        QCOMPARE(s.count, written.size());
        QCOMPARE(s.minimum, *std::min_element(values.begin(), values.end()));
        QCOMPARE(s.maximum, *std::max_element(values.begin(), values.end()));
        QVERIFY(qFuzzyCompare(s.mean, std::accumulate(values.begin(), values.end(), 0.0) / values.size()));
        QCOMPARE(s.lastChange, begin == 0 ? QDateTime() : written.at(begin).when);
        QCOMPARE(s.unchangedRecords, values.size() - begin);
        QCOMPARE(s.resetReadings, std::count(values.begin(), values.end(), 85.0f));
        QCOMPARE(s.stale, values.size() - begin >= 10);
    }
    // What the log was built to show: three 85s on sensor 5, 13 never changed, 12 stale, 11 not.
    QCOMPARE(figures.sensors[4].resetReadings, 3);
    QVERIFY(!figures.sensors[12].lastChange.isValid());
    QVERIFY(figures.sensors[12].stale);
    QVERIFY(figures.sensors[11].stale);
    QVERIFY(!figures.sensors[10].stale);

    const QString table = SensorStatistics::table(figures, SensorStatistics::DefaultStaleRecords);
    QCOMPARE(table.count(QStringLiteral("stale?")), 3); // sensors 12 and 13, and the footnote
}

void TestSensorStatistics::staleLimit_data()
{
    QTest::addColumn<QList<float>>("values");
    QTest::addColumn<qsizetype>("limit");
    QTest::addColumn<bool>("stale");
    QTest::addColumn<qsizetype>("unchanged");

    const auto changeThen = [](int same) {
        QList<float> v{1.0f, 2.0f};
        for (int i = 0; i < same; ++i)
            v << 3.0f;
        return v;
    };
    QTest::newRow("9 unchanged of limit 10") << changeThen(9) << qsizetype(10) << false << qsizetype(9);
    QTest::newRow("10 unchanged of limit 10") << changeThen(10) << qsizetype(10) << true << qsizetype(10);
    QTest::newRow("11 unchanged of limit 10") << changeThen(11) << qsizetype(10) << true << qsizetype(11);
    QTest::newRow("limit 3") << changeThen(3) << qsizetype(3) << true << qsizetype(3);
    QTest::newRow("too few records to tell")
        << QList<float>(5, 21.0f) << qsizetype(10) << false << qsizetype(5);
    QTest::newRow("no records") << QList<float>() << qsizetype(10) << false << qsizetype(0);
    QTest::newRow("change in the last record")
        << (changeThen(20) << 4.0f) << qsizetype(10) << false << qsizetype(1);
}

void TestSensorStatistics::staleLimit()
{
    QFETCH(QList<float>, values);
    QFETCH(qsizetype, limit);
    QFETCH(bool, stale);
    QFETCH(qsizetype, unchanged);
    const auto s = SensorStatistics::compute(withValues(values), limit).sensors[0];
    QCOMPARE(s.stale, stale);
    QCOMPARE(s.unchangedRecords, unchanged);
    QCOMPARE(s.count, values.size());
}

void TestSensorStatistics::splitsAtGaps_data()
{
    QTest::addColumn<QList<int>>("seconds");
    QTest::addColumn<QList<qsizetype>>("runStarts");
    QTest::newRow("none") << QList<int>{} << QList<qsizetype>{};
    QTest::newRow("one record") << QList<int>{0} << QList<qsizetype>{0};
    QTest::newRow("steady") << QList<int>{0, 10, 20, 30} << QList<qsizetype>{0};
    QTest::newRow("pause of exactly 5 intervals") << QList<int>{0, 10, 20, 30, 80, 90} << QList<qsizetype>{0};
    QTest::newRow("pause just over 5 intervals")
        << QList<int>{0, 10, 20, 30, 81, 91} << QList<qsizetype>{0, 4};
    QTest::newRow("back in time") << QList<int>{100, 110, 120, 0, 10, 20} << QList<qsizetype>{0, 3};
    QTest::newRow("same second is no gap") << QList<int>{0, 0, 1, 1, 2} << QList<qsizetype>{0};
    QTest::newRow("two pauses") << QList<int>{0, 10, 20, 500, 510, 520, 9000} << QList<qsizetype>{0, 3, 6};
}

void TestSensorStatistics::splitsAtGaps()
{
    QFETCH(QList<int>, seconds);
    QFETCH(QList<qsizetype>, runStarts);
    const QList<LogRecord> records = atSeconds(seconds);
    QList<qsizetype> starts;
    qsizetype covered = 0;
    for (const auto& run : LogRuns::split(records)) {
        QCOMPARE(run.first, covered);
        covered += run.count;
        starts << run.first;
    }
    QCOMPARE(covered, records.size());
    QCOMPARE(starts, runStarts);
}

void TestSensorStatistics::csvHasOneRowPerSensor()
{
    QList<float> values{85.0f, 20.5f, -3.25f};
    const QList<QByteArray> rows =
        SensorStatistics::csv(SensorStatistics::compute(withValues(values))).split('\n');
    QCOMPARE(rows.size(), 15); // header, 13 sensors, nothing after the last CR LF
    QCOMPARE(rows.first(),
             QByteArray("sensor,count,min,max,mean,last_change,unchanged_records,count_85,stale\r"));
    QCOMPARE(rows.at(1), QByteArray("1,3,-3.25,85,34.083333,2007-03-14T12:00:20+00:00,1,1,false\r"));
    QCOMPARE(rows.at(2), QByteArray("2,3,0,0,0.000000,,3,0,false\r"));
    QVERIFY(rows.last().isEmpty());
}

QTEST_GUILESS_MAIN(TestSensorStatistics)
#include "tst_sensorstatistics.moc"
