#include "logfile/csvexport.h"
#include "logfile/logfilereader.h"
#include "logtoolfixture.h"

#include <QtTest>

#include <ctime>

using namespace logtoolfixture;
using quorvel::logfile::CsvExport;

namespace {

// Splits one CSV document by RFC 4180, quoted fields included.
QList<QStringList> parseCsv(const QString& text, bool* wellFormed)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    *wellFormed = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == u'"' && i + 1 < text.size() && text.at(i + 1) == u'"') {
                field += c;
                ++i;
            } else if (c == u'"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            row << field;
            field.clear();
        } else if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n') {
            row << field;
            field.clear();
            rows << row;
            row.clear();
            ++i;
        } else if (c == u'\r' || c == u'\n') {
            *wellFormed = false;
        } else {
            field += c;
        }
    }
    if (quoted || !row.isEmpty() || !field.isEmpty())
        *wellFormed = false;
    return rows;
}

} // namespace

class TestCsvExport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void quotesFieldsThatNeedIt_data();
    void quotesFieldsThatNeedIt();
    void writesShortestReadings_data();
    void writesShortestReadings();
    void writesLocalTimeWithOffset_data();
    void writesLocalTimeWithOffset();
    void documentHoldsTheWrittenValues_data();
    void documentHoldsTheWrittenValues();
};

void TestCsvExport::initTestCase()
{
    // A zone with daylight saving time, so offsets differ within a year; Qt reads TZ on each conversion.
    qputenv("TZ", "America/New_York");
    tzset();
}

void TestCsvExport::quotesFieldsThatNeedIt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("field");
    QTest::newRow("plain") << "sensor1"
                           << "sensor1";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("blanks stay unquoted") << " 21 "
                                          << " 21 ";
    QTest::newRow("comma") << "21,5"
                           << "\"21,5\"";
    QTest::newRow("quote") << "say \"hi\""
                           << "\"say \"\"hi\"\"\"";
    QTest::newRow("CR LF") << "a\r\nb"
                           << "\"a\r\nb\"";
    QTest::newRow("lone LF") << "a\nb"
                             << "\"a\nb\"";
}

void TestCsvExport::quotesFieldsThatNeedIt()
{
    QFETCH(QString, text);
    QFETCH(QString, field);
    QCOMPARE(CsvExport::field(text), field);
    bool wellFormed = false;
    const QList<QStringList> rows = parseCsv(CsvExport::row({text, QStringLiteral("x")}), &wellFormed);
    QVERIFY(wellFormed);
    QCOMPARE(rows, (QList<QStringList>{{text, QStringLiteral("x")}}));
}

void TestCsvExport::writesShortestReadings_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("sixteenths") << 23.5625f << "23.5625";
    QTest::newRow("negative") << -10.125f << "-10.125";
    QTest::newRow("zero") << 0.0f << "0";
    QTest::newRow("integer") << 1500.0f << "1500";
    QTest::newRow("not exact in binary") << 0.1f << "0.1";
    QTest::newRow("seven digits") << 1.234567f << "1.234567";
    QTest::newRow("largest float") << 3.4028235e38f << "3.4028235e+38";
}

void TestCsvExport::writesShortestReadings()
{
    QFETCH(float, value);
    QFETCH(QString, text);
    QCOMPARE(CsvExport::reading(value), text);
}

void TestCsvExport::writesLocalTimeWithOffset_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("text");
    QTest::newRow("summer time") << QDateTime(QDate(2007, 3, 14), QTime(22, 5, 42))
                                 << "2007-03-14T22:05:42-04:00";
    QTest::newRow("standard time") << QDateTime(QDate(2007, 1, 2), QTime(3, 4, 5))
                                   << "2007-01-02T03:04:05-05:00";
    QTest::newRow("UTC") << QDateTime(QDate(2007, 1, 2), QTime(3, 4, 5), Qt::UTC)
                         << "2007-01-02T03:04:05+00:00";
    QTest::newRow("invalid") << QDateTime() << "";
    QTest::newRow("offset with seconds")
        << QDateTime(QDate(1850, 1, 2), QTime(3, 4, 5)) << "1850-01-02T03:04:05-04:56";
}

void TestCsvExport::writesLocalTimeWithOffset()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, text);
    QCOMPARE(CsvExport::timestamp(when), text);
    // A row as the streamed csv writes it starts with the same time.
    LogRecord record;
    record.when = when;
    record.readings = {23.5625f};
    QByteArray row;
    CsvExport::appendRow(row, record, 2);
    QCOMPARE(row, text.toUtf8() + ",23.5625,\r\n");
}

void TestCsvExport::documentHoldsTheWrittenValues_data()
{
    QTest::addColumn<QString>("locale");
    QTest::newRow("en_US") << "en_US";
    QTest::newRow("de_DE") << "de_DE";
}

void TestCsvExport::documentHoldsTheWrittenValues()
{
    QFETCH(QString, locale);
    const auto dir = scratchDir();
    const QString path = dir->filePath(QStringLiteral("run.log"));
    const StandardLog log = standardLog();
    QVERIFY(writeStandardLog(path, QLocale(locale), log));
    const auto read = quorvel::logfile::readLogFile(contents(path), QLocale(locale));
    QCOMPARE(read.badLines, 0);

    const QByteArray csv = CsvExport::document(read.records);
    bool wellFormed = false;
    const QList<QStringList> rows = parseCsv(QString::fromUtf8(csv), &wellFormed);
    QVERIFY(wellFormed);
    const QList<LogRecord> written = log.all();
    QCOMPARE(rows.size(), written.size() + 1);
    QStringList header{QStringLiteral("timestamp")};
    for (int i = 1; i <= 13; ++i)
        header << QStringLiteral("sensor%1").arg(i);
    QCOMPARE(rows.first(), header);
    QCOMPARE(rows.at(1).first(), QStringLiteral("2007-03-14T22:05:42-04:00"));
    for (qsizetype i = 0; i < written.size(); ++i) {
        const QStringList& row = rows.at(i + 1);
        QCOMPARE(row.size(), 14);
        QCOMPARE(QDateTime::fromString(row.first(), Qt::ISODate), written.at(i).when);
        QVERIFY(row.first().endsWith(QLatin1String("-04:00")));
        for (std::size_t slot = 0; slot < LogRecord::ReadingCount; ++slot) {
            bool ok = false;
            const float value = QLocale::c().toFloat(row.at(qsizetype(slot) + 1), &ok);
            QVERIFY2(ok, qPrintable(row.at(qsizetype(slot) + 1)));
            QCOMPARE(value, written.at(i).readings[slot]);
        }
    }
}

QTEST_GUILESS_MAIN(TestCsvExport)
#include "tst_csvexport.moc"
