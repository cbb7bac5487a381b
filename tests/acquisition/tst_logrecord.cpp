#include "logfile/logrecord.h"
#include "runtime/conversions.h"
#include "runtime/localeformats.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <limits>

using quorvel::acquisition::composeLogRecord;
using quorvel::acquisition::LogRecord;
using quorvel::acquisition::parseAnyLogRecord;
using quorvel::acquisition::parseLogRecord;
using Readings = QList<float>;

namespace {

QDateTime at(int y, int mo, int d, int h, int mi, int s)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s));
}

Readings filled(float v)
{
    return Readings(qsizetype(LogRecord::ReadingCount), v);
}

const Readings exampleReadings{23.5625f, -10.125f, 0.0f,  21.0f,  85.0f,   1500.0f, 0.0625f,
                               -55.0f,   125.0f,   19.5f, 20.25f, 22.875f, 18.0f};

} // namespace

class TestLogRecord : public QObject {
    Q_OBJECT
private slots:
    void composesWholeLine_data();
    void composesWholeLine();
    void layoutHoldsForAnyValues_data();
    void layoutHoldsForAnyValues();
    void roundTrips_data();
    void roundTrips();
    void parsesWithLooserPadding_data();
    void parsesWithLooserPadding();
    void rejectsMalformed_data();
    void rejectsMalformed();
};

void TestLogRecord::composesWholeLine_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<Readings>("readings");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("expected");

    QTest::newRow("example")
        << at(2007, 3, 14, 22, 5, 42) << exampleReadings << "en_US"
        << "3/14/2007 10:05:42 PM,  23.5625            , -10.125     ,  0          ,  21  "
           "       ,  85         ,  1500       ,  0.0625     , -55         ,  125        ,  1"
           "9.5       ,  20.25      ,  22.875     ,  18 \r\n";
    QTest::newRow("all zero")
        << at(2007, 3, 14, 22, 5, 42) << filled(0.0f) << "en_US"
        << "3/14/2007 10:05:42 PM,  0    ,  0          ,  0          ,  0          ,  0  "
           "        ,  0          ,  0          ,  0          ,  0          ,  0          "
           ",  0          ,  0          ,  0 \r\n";
    QTest::newRow("negative zero has no sign")
        << at(2007, 3, 14, 22, 5, 42) << filled(-0.0f) << "en_US"
        << "3/14/2007 10:05:42 PM,  0    ,  0          ,  0          , "
           " 0          ,  0          ,  0          ,  0          ,  0  "
           "        ,  0          ,  0          ,  0          ,  0      "
           "    ,  0 \r\n";
    // Slot 0 ends on column 28 and slot 1 on column 56, both zone starts: each moves a whole zone on.
    Readings onZone = filled(-1.0f);
    onZone[0] = 125.0f;
    onZone[1] = 0.1234567f;
    QTest::newRow("reading ends on a zone start")
        << at(2007, 3, 14, 22, 5, 42) << onZone << "en_US"
        << "3/14/2007 10:05:42 PM,  125                ,  0.1234567                , -1          , -1     "
           "     , -1          , -1          , -1          , -1          , -1          , -1          , -1    "
           "      , -1          , -1 \r\n";
    const Readings extremes{123456789.0f,
                            0.000001f,
                            -std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::denorm_min(),
                            9999999.0f,
                            1e8f,
                            0.00001f,
                            0.1f,
                            0.0f,
                            1234567.9f,
                            -0.000123f,
                            32767.0f,
                            -0.000001f};
    QTest::newRow("big and small, AM, one-digit hour")
        << at(2007, 1, 2, 9, 5, 7) << extremes << "en_US"
        << "1/2/2007 9:05:07 AM,  1.234568E+08         ,  1E-06      , -3.402823E+38             ,  1.4012"
           "98E-45             ,  9999999    ,  1E+08      ,  0.00001    ,  0.1        ,  0          ,  1234"
           "568    , -0.000123   ,  32767      , -1E-06 \r\n";
    // The service logs as many readings as its list has sensors, laid out alike.
    QTest::newRow("three readings") << at(2007, 3, 14, 22, 5, 42) << exampleReadings.first(3) << "en_US"
                                    << "3/14/2007 10:05:42 PM,  23.5625            , -10.125     ,  0 \r\n";
    QTest::newRow("one reading") << at(2007, 3, 14, 22, 5, 42) << exampleReadings.first(1) << "en_US"
                                 << "3/14/2007 10:05:42 PM,  23.5625 \r\n";
    QTest::newRow("decimal comma")
        << at(2007, 3, 14, 22, 5, 42) << exampleReadings << "de_DE"
        << "14.03.2007 22:05:42,  23,5625              , -10,125     ,  0          ,  21"
           "         ,  85         ,  1500       ,  0,0625     , -55         ,  125    "
           "    ,  19,5       ,  20,25      ,  22,875     ,  18 \r\n";
}

void TestLogRecord::composesWholeLine()
{
    QFETCH(QDateTime, when);
    QFETCH(Readings, readings);
    QFETCH(QString, locale);
    QFETCH(QString, expected);

    QCOMPARE(composeLogRecord(when, readings, QLocale(locale)), expected);
    QCOMPARE(composeLogRecord(LogRecord{when, readings}, QLocale(locale)), expected);
}

void TestLogRecord::layoutHoldsForAnyValues_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<quint32>("seed");
    for (const char* name : {"en_US", "de_DE", "fr_FR", "ja_JP", "C"}) {
        for (quint32 seed : {1u, 7u, 42u, 1234u}) {
            const QByteArray row = QByteArray(name) + " seed " + QByteArray::number(seed);
            QTest::newRow(row.constData()) << QString::fromLatin1(name) << seed;
        }
    }
}

// Whatever the values and the locale: the date-time and ", ", then thirteen reading items, each
// " , " on a zone start after one to fourteen blanks of padding.
void TestLogRecord::layoutHoldsForAnyValues()
{
    QFETCH(QString, locale);
    QFETCH(quint32, seed);
    const QLocale loc(locale);
    QRandomGenerator random(seed);
    const QDateTime when = at(2000 + random.bounded(100), 1 + random.bounded(12), 1 + random.bounded(28),
                              random.bounded(24), random.bounded(60), random.bounded(60));
    Readings readings(static_cast<qsizetype>(LogRecord::ReadingCount));
    for (float& r : readings) {
        // Magnitudes from 1E-07 to 1E+09, both signs, so every digit count and both number forms occur.
        const double magnitude = std::pow(10.0, random.bounded(16.0) - 7.0);
        r = static_cast<float>(random.bounded(2) ? -magnitude : magnitude);
    }
    readings[random.bounded(13)] = 0.0f;

    const QString line = composeLogRecord(when, readings, loc);
    QVERIFY(line.endsWith(QLatin1String("\r\n")));
    const QString head = quorvel::runtime::dateTimeText(when, loc) + QStringLiteral(", ");
    QVERIFY2(line.startsWith(head), qPrintable(line));

    qsizetype pos = head.size();
    for (qsizetype slot = 0; slot < readings.size(); ++slot) {
        const QString item = (readings[slot] < 0 ? QStringLiteral("-") : QStringLiteral(" ")) +
                             quorvel::runtime::singleToText(std::fabs(readings[slot]), loc) +
                             QLatin1Char(' ');
        QCOMPARE(line.mid(pos, item.size()), item);
        pos += item.size();
        if (slot == readings.size() - 1)
            break;
        const qsizetype separator = line.indexOf(QLatin1String(" , "), pos);
        QVERIFY(separator > pos);
        QCOMPARE(separator % LogRecord::ZoneWidth, 0);
        QVERIFY(separator - pos <= LogRecord::ZoneWidth);
        QCOMPARE(line.mid(pos, separator - pos).trimmed(), QString());
        pos = separator + 3;
    }
    QCOMPARE(pos, line.size() - 2);
    QCOMPARE(line.count(QLatin1String(" , ")), 12);
}

void TestLogRecord::roundTrips_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<Readings>("readings");
    QTest::addColumn<QString>("locale");

    QTest::newRow("example en_US") << at(2007, 3, 14, 22, 5, 42) << exampleReadings << "en_US";
    QTest::newRow("example de_DE") << at(2007, 3, 14, 22, 5, 42) << exampleReadings << "de_DE";
    QTest::newRow("midnight ja_JP") << at(2031, 12, 31, 0, 0, 0) << exampleReadings << "ja_JP";
    QTest::newRow("noon fr_FR") << at(2010, 7, 1, 12, 0, 59) << filled(-55.0f) << "fr_FR";
    QTest::newRow("C locale") << at(2024, 2, 29, 23, 59, 59) << filled(125.0f) << "C";
    Readings exp{1.234568e8f, 1e-6f, -1e20f, 0.0f, 2.5f, -2.5f, 1e-30f,
                 9999999.0f,  1.0f,  -1.0f,  0.5f, 7.0f, 8.0f};
    QTest::newRow("exponent forms de_DE") << at(2007, 3, 14, 22, 5, 42) << exp << "de_DE";
    QTest::newRow("one reading") << at(2007, 3, 14, 22, 5, 42) << Readings{-55.0f} << "en_US";
    QTest::newRow("three readings de_DE") << at(2007, 3, 14, 22, 5, 42) << exp.first(3) << "de_DE";
    Readings hundred(LogRecord::MaxReadingCount);
    for (qsizetype i = 0; i < hundred.size(); ++i)
        hundred[i] = float(i) / 16.0f - 3.0f;
    QTest::newRow("a hundred readings ja_JP") << at(2031, 12, 31, 0, 0, 0) << hundred << "ja_JP";
}

void TestLogRecord::roundTrips()
{
    QFETCH(QDateTime, when);
    QFETCH(Readings, readings);
    QFETCH(QString, locale);
    const QLocale loc(locale);

    const QString line = composeLogRecord(when, readings, loc);
    // The window program's reader takes thirteen readings and no other count; the log tool's any.
    QCOMPARE(parseLogRecord(line, loc).has_value(), readings.size() == qsizetype(LogRecord::ReadingCount));
    const auto parsed = parseAnyLogRecord(line, loc);
    QVERIFY2(parsed.has_value(), qPrintable(line));
    QCOMPARE(parsed->readings.size(), readings.size());
    QCOMPARE(parsed->when, when);
    for (qsizetype slot = 0; slot < readings.size(); ++slot) {
        // The line holds seven significant digits, so compare with what those digits read back as.
        const float expected =
            *quorvel::runtime::textToSingle(quorvel::runtime::singleToText(readings[slot], loc), loc);
        QCOMPARE(parsed->readings[slot], expected);
    }
    QCOMPARE(composeLogRecord(*parsed, loc), line);
}

void TestLogRecord::parsesWithLooserPadding_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("locale");

    QTest::newRow("single blanks, no line end") << "3/14/2007 10:05:42 PM, 23.5625 , -10.125 , 0 , 21 , 85 , "
                                                   "1500 , 0.0625 , -55 , 125 , 19.5 , 20.25 "
                                                   ", 22.875 , 18"
                                                << "en_US";
    QTest::newRow("blanks on one side, LF only") << "3/14/2007 10:05:42 PM, 23.5625 ,-10.125 ,0 ,21 ,85 "
                                                    ",1500 ,0.0625 ,-55 ,125 ,19.5 ,20.25 ,22.875 ,18\n"
                                                 << "en_US";
    QTest::newRow("tabs and a doubled blank in the date")
        << "  3/14/2007  10:05:42 PM\t,\t23.5625\t,\t-10.125 , 0 , 21 , 85 , 1500 , 0.0625 , -55 , 125 , "
           "19.5 "
           ", 20.25 , 22.875 , 18  \r\n"
        << "en_US";
    QTest::newRow("decimal commas") << "14.03.2007 22:05:42, 23,5625 , -10,125 , 0 , 21 , 85 , 1500 , 0,0625 "
                                       ", -55 , 125 , 19,5 , 20,25 , "
                                       "22,875 , 18\r\n"
                                    << "de_DE";
}

void TestLogRecord::parsesWithLooserPadding()
{
    QFETCH(QString, line);
    QFETCH(QString, locale);

    const auto parsed = parseLogRecord(line, QLocale(locale));
    QVERIFY(parsed.has_value());
    QCOMPARE(parsed->when, at(2007, 3, 14, 22, 5, 42));
    QCOMPARE(parsed->readings, exampleReadings);
}

void TestLogRecord::rejectsMalformed_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("anyCount"); // what parseAnyLogRecord reads instead; 0: it rejects the line too

    const QString good =
        composeLogRecord(at(2007, 3, 14, 22, 5, 42), exampleReadings, QLocale(QStringLiteral("en_US")));
    const QString body = good.chopped(2);
    QTest::newRow("empty") << QString() << "en_US" << 0;
    QTest::newRow("line end only") << "\r\n"
                                   << "en_US" << 0;
    QTest::newRow("date only") << "3/14/2007 10:05:42 PM, \r\n"
                               << "en_US" << 0;
    QTest::newRow("twelve readings") << body.left(body.lastIndexOf(QLatin1String(" , "))) + "\r\n"
                                     << "en_US" << 12;
    QTest::newRow("fourteen readings") << body + " , 1\r\n"
                                       << "en_US" << 14;
    QString tooMany = body;
    for (int i = 13; i < 101; ++i)
        tooMany += QStringLiteral(" , 1");
    QTest::newRow("101 readings") << tooMany << "en_US" << 0;
    QTest::newRow("empty reading") << QString(body).replace(QLatin1String("1500"), QString()) << "en_US" << 0;
    QTest::newRow("word for a reading")
        << QString(body).replace(QLatin1String("1500"), QLatin1String("abc")) << "en_US" << 0;
    QTest::newRow("blank inside a reading")
        << QString(body).replace(QLatin1String("-55"), QLatin1String("- 55")) << "en_US" << 0;
    QTest::newRow("not a number") << QString(body).replace(QLatin1String("1500"), QLatin1String("NaN"))
                                  << "en_US" << 0;
    QTest::newRow("out of single range")
        << QString(body).replace(QLatin1String("1500"), QLatin1String("1E+39")) << "en_US" << 0;
    QTest::newRow("impossible date") << QString(body).replace(QLatin1String("3/14"), QLatin1String("13/45"))
                                     << "en_US" << 0;
    QTest::newRow("no date") << body.mid(body.indexOf(QLatin1String(", ")) + 2) << "en_US" << 0;
    QTest::newRow("date not followed by a separator")
        << QString(body).replace(QLatin1String("PM, "), QLatin1String("PM ")) << "en_US" << 0;
    QTest::newRow("commas without blanks") << QString(body).remove(QLatin1Char(' ')) << "en_US" << 0;
    QTest::newRow("two lines") << good + good << "en_US" << 0;
    QTest::newRow("carriage return inside")
        << QString(body).replace(QLatin1String("1500"), QLatin1String("15\r00")) << "en_US" << 0;
    QTest::newRow("other locale's line")
        << composeLogRecord(at(2007, 3, 14, 22, 5, 42), exampleReadings, QLocale(QStringLiteral("de_DE")))
        << "en_US" << 0;
    QTest::newRow("decimal comma in a dot locale")
        << QString(body).replace(QLatin1String("0.0625"), QLatin1String("0,0625")) << "en_US" << 0;
    QTest::newRow("noise") << QString::fromUtf8("\xef\xbf\xbd , , , , , , , , , , , , , ,") << "en_US" << 0;
}

void TestLogRecord::rejectsMalformed()
{
    QFETCH(QString, line);
    QFETCH(QString, locale);
    QFETCH(int, anyCount);
    QVERIFY(!parseLogRecord(line, QLocale(locale)).has_value());
    const auto any = parseAnyLogRecord(line, QLocale(locale));
    QCOMPARE(any ? int(any->readings.size()) : 0, anyCount);
}

QTEST_GUILESS_MAIN(TestLogRecord)
#include "tst_logrecord.moc"
