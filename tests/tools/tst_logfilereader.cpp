#include "logfilereader.h"
#include "logtoolfixture.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace logtoolfixture;
using quorvel::logtool::LogFileContents;
using quorvel::logtool::readLogFile;

namespace {

QByteArray line(const LogRecord& r, const char* locale = "en_US")
{
    return quorvel::acquisition::encodeLogLine(quorvel::acquisition::composeLogRecord(r, QLocale(locale)));
}

LogRecord sample(int second = 42)
{
    return sweeps(QDateTime(QDate(2007, 3, 14), QTime(22, 5, second)), 1, 10, 0).first();
}

} // namespace

class TestLogFileReader : public QObject {
    Q_OBJECT
private slots:
    void readsWhatTheLoggerWrote_data();
    void readsWhatTheLoggerWrote();
    void skipsAndReportsBadLines_data();
    void skipsAndReportsBadLines();
    void keepsOnlyTheFirstErrors();
    void survivesRandomBytes();
};

void TestLogFileReader::readsWhatTheLoggerWrote_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QByteArray>("lineEnd");
    for (const char* locale : {"en_US", "de_DE"}) {
        QTest::addRow("%s CR LF", locale) << locale << QByteArray("\r\n");
        QTest::addRow("%s LF", locale) << locale << QByteArray("\n");
        QTest::addRow("%s CR", locale) << locale << QByteArray("\r");
    }
}

void TestLogFileReader::readsWhatTheLoggerWrote()
{
    QFETCH(QString, locale);
    QFETCH(QByteArray, lineEnd);
    const auto dir = scratchDir();
    const QString path = dir->filePath(QStringLiteral("run.log"));
    const StandardLog log = standardLog();
    QVERIFY(writeStandardLog(path, QLocale(locale), log));
    QByteArray bytes = contents(path);
    QVERIFY(bytes.endsWith("\r\n"));
    bytes.replace("\r\n", lineEnd);

    const LogFileContents read = readLogFile(bytes, QLocale(locale));
    QCOMPARE(read.badLines, 0);
    QVERIFY(read.errors.isEmpty());
    const QList<LogRecord> written = log.all();
    QCOMPARE(read.records.size(), written.size());
    for (qsizetype i = 0; i < written.size(); ++i) {
        QCOMPARE(read.records.at(i).when, written.at(i).when);
        for (std::size_t slot = 0; slot < LogRecord::ReadingCount; ++slot)
            QCOMPARE(read.records.at(i).readings[slot], written.at(i).readings[slot]);
    }
}

void TestLogFileReader::skipsAndReportsBadLines_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<qsizetype>>("badLines");
    QTest::addColumn<int>("records");
    QTest::addColumn<QString>("reason"); // a part of the first reason

    const QByteArray good = line(sample());
    const QByteArray body = good.chopped(2);
    QTest::newRow("empty file") << QByteArray() << QList<qsizetype>{} << 0 << QString();
    QTest::newRow("only a line end") << QByteArray("\r\n") << QList<qsizetype>{1} << 0 << "empty line";
    QTest::newRow("text between records")
        << good + "hello world\r\n" + good << QList<qsizetype>{2} << 2 << "0 readings";
    QTest::newRow("empty line between records")
        << good + "\r\n" + good << QList<qsizetype>{2} << 2 << "empty";
    QTest::newRow("NULs") << good + QByteArray(20, '\0') + "\r\n" + good << QList<qsizetype>{2} << 2
                          << "control characters";
    QTest::newRow("NUL inside a record") << body.left(30) + '\0' + body.mid(31) + "\r\n"
                                         << QList<qsizetype>{1} << 0 << "control characters";
    QTest::newRow("invalid UTF-8") << "\xff\xfe" + body + "\r\n" + good << QList<qsizetype>{1} << 1
                                   << "not text";
    QTest::newRow("another locale's record")
        << line(sample(), "de_DE") + good << QList<qsizetype>{1} << 1 << "not written the en_US way";
    QTest::newRow("cut off in the last reading")
        << good + body.chopped(2) + "\r\n" + good << QList<qsizetype>{2} << 2 << "incomplete record";
    QTest::newRow("cut off at the end of the file")
        << good + body.chopped(1) << QList<qsizetype>{2} << 1 << "incomplete record";
    QTest::newRow("whole record without line end at the end")
        << good + body << QList<qsizetype>{} << 2 << QString();
    QTest::newRow("a reading that is no number") << QByteArray(body).replace("-16 ", "-1x6 ") + "\r\n"
                                                 << QList<qsizetype>{1} << 0 << "reading is not a number";
    QTest::newRow("12 readings") << body.left(body.lastIndexOf(" , ")) + " \r\n"
                                 << QList<qsizetype>{1} << 0 << "12 readings";
    QTest::newRow("10 MB line then a record")
        << QByteArray(10 * 1024 * 1024, ',') + "\r\n" + good << QList<qsizetype>{1} << 1 << "too long";
    QTest::newRow("line numbers count every kind of line end")
        << good + "x\r" + good.chopped(2) + "\n" + "y\n\r" + good << QList<qsizetype>{2, 4, 5} << 3
        << "0 readings";
}

void TestLogFileReader::skipsAndReportsBadLines()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<qsizetype>, badLines);
    QFETCH(int, records);
    QFETCH(QString, reason);

    const LogFileContents read = readLogFile(bytes, QLocale(QStringLiteral("en_US")));
    QList<qsizetype> reported;
    for (const auto& e : read.errors)
        reported << e.line;
    QCOMPARE(reported, badLines);
    QCOMPARE(read.badLines, badLines.size());
    QCOMPARE(read.records.size(), records);
    if (!reason.isEmpty())
        QVERIFY2(read.errors.first().reason.contains(reason), qPrintable(read.errors.first().reason));
    for (const LogRecord& r : read.records)
        QVERIFY(r.readings == sample().readings);
}

void TestLogFileReader::keepsOnlyTheFirstErrors()
{
    QByteArray bytes;
    for (int i = 0; i < 250; ++i)
        bytes += "junk\r\n";
    bytes += line(sample());
    const LogFileContents read = readLogFile(bytes, QLocale(QStringLiteral("en_US")));
    QCOMPARE(read.badLines, 250);
    QCOMPARE(read.errors.size(), LogFileContents::MaxKeptErrors);
    QCOMPARE(read.errors.last().line, LogFileContents::MaxKeptErrors);
    QCOMPARE(read.records.size(), 1);
}

void TestLogFileReader::survivesRandomBytes()
{
    QRandomGenerator rng(20071214);
    const QByteArray good = line(sample());
    for (int round = 0; round < 20; ++round) {
        QByteArray bytes(int(rng.bounded(1, 200000)), Qt::Uninitialized);
        for (char& c : bytes)
            c = char(rng.bounded(256));
        // Records spliced into the junk stay readable when they start on a line of their own.
        bytes = bytes + "\n" + good + bytes.left(500) + "\r" + good;
        const LogFileContents read = readLogFile(bytes, QLocale(QStringLiteral("en_US")));
        QVERIFY(read.records.size() >= 2);
        QVERIFY(read.badLines > 0);
    }
}

QTEST_GUILESS_MAIN(TestLogFileReader)
#include "tst_logfilereader.moc"
