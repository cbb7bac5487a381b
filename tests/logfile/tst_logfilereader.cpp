#include "logfile/logfilereader.h"
#include "logfile/logreader.h"
#include "logtoolfixture.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace logtoolfixture;
using quorvel::logfile::LineProblem;
using quorvel::logfile::LocaleChoice;
using quorvel::logfile::LogFileContents;
using quorvel::logfile::readLogFile;

namespace {

QByteArray line(const LogRecord& r, const char* locale = "en_US")
{
    return quorvel::acquisition::encodeLogLine(quorvel::acquisition::composeLogRecord(r, QLocale(locale)));
}

LogRecord sample(int second = 42)
{
    return sweeps(QDateTime(QDate(2007, 3, 14), QTime(22, 5, second)), 1, 10, 0).first();
}

// Readings exact in seven digits: fractions, both signs, zero and both exponent forms.
LogRecord record(const QDateTime& when)
{
    LogRecord r;
    r.when = when;
    r.readings = {23.5625f, -10.125f, 0.0f,  1500.0f, 0.0625f, -55.0f, 125.0f,
                  1.5e8f,   2.5e-6f,  -3.5f, 85.0f,   19.5f,   -0.5f};
    return r;
}

QByteArray lines(const QList<LogRecord>& records, const QLocale& locale)
{
    QByteArray bytes;
    for (const LogRecord& r : records)
        bytes += quorvel::acquisition::encodeLogLine(quorvel::acquisition::composeLogRecord(r, locale));
    return bytes;
}

// Empty when the records read back as written, else what differs.
QString differences(const QList<LogRecord>& read, const QList<LogRecord>& written)
{
    if (read.size() != written.size())
        return QStringLiteral("%1 records read, %2 written").arg(read.size()).arg(written.size());
    for (qsizetype i = 0; i < read.size(); ++i) {
        if (read.at(i).when != written.at(i).when)
            return QStringLiteral("record %1 at %2, written at %3")
                .arg(i)
                .arg(read.at(i).when.toString(Qt::ISODate), written.at(i).when.toString(Qt::ISODate));
        if (read.at(i).readings != written.at(i).readings)
            return QStringLiteral("record %1: other readings").arg(i);
    }
    return {};
}

// The locale as the log tool finds it: from a sample of that many lines, read on in it, and from every line
// where the rest leaves it in doubt.
LocaleChoice sampled(const QList<QByteArray>& files, const QLocale& given, qsizetype sample)
{
    const auto dir = scratchDir();
    QStringList paths;
    for (qsizetype i = 0; i < files.size(); ++i) {
        paths << dir->filePath(QStringLiteral("%1.log").arg(i));
        QFile f(paths.last());
        if (!f.open(QIODevice::WriteOnly) || f.write(files.at(i)) != files.at(i).size())
            return {};
    }
    quorvel::logfile::LogReader reader(paths);
    if (!reader.open().isEmpty())
        return {};
    LocaleChoice choice = reader.findLocale(given, sample);
    if (choice.outcome != LocaleChoice::Ambiguous &&
        reader.read([](const LogRecord&) {}, [](const quorvel::logfile::LogReader::File&) {}) ==
            quorvel::logfile::LogReader::Pass::LocaleInDoubt &&
        reader.findLocaleFromEveryLine(given))
        choice = reader.choice();
    return choice;
}

// What a choice says: the locale taken, or each way of reading with its first locale and line.
QString said(const LocaleChoice& choice)
{
    QString text = QString::number(int(choice.outcome));
    if (choice.outcome != LocaleChoice::Ambiguous)
        return text + QLatin1Char(' ') + quorvel::logfile::localeName(choice.locale);
    for (const auto& r : choice.readings)
        text += QStringLiteral(" %1@%2:%3")
                    .arg(quorvel::logfile::localeName(r.locales.first()))
                    .arg(r.file)
                    .arg(r.line);
    return text;
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
    void readsBackEveryLocalesWriting_data();
    void readsBackEveryLocalesWriting();
    void everyQtLocaleIsReadAndFound();
    void findsTheLogLocale_data();
    void findsTheLogLocale();
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
    // Any count from 1 to 100 is a record (the service logs as many as its list has sensors).
    QTest::newRow("101 readings") << body + QByteArray(" , 1").repeated(88) + " \r\n" + good
                                  << QList<qsizetype>{1} << 1 << "101 readings, at most 100";
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
    bytes += line(sample()) + "\r\n\r\n";
    const LogFileContents read = readLogFile(bytes, QLocale(QStringLiteral("en_US")));
    QCOMPARE(read.badLines, 252);
    QCOMPARE(read.lines, 253);
    // The first of each problem are kept, so the rare ones stay visible after a flood of another.
    QCOMPARE(read.errors.size(), LogFileContents::MaxKeptErrors + 2);
    QCOMPARE(read.errors.at(LogFileContents::MaxKeptErrors - 1).line, LogFileContents::MaxKeptErrors);
    QCOMPARE(read.errors.last().line, 253);
    QCOMPARE(read.problems.size(), 2);
    QCOMPARE(read.problems.at(0).problem, LineProblem::NotARecord);
    QCOMPARE(read.problems.at(0).lines, 250);
    QCOMPARE(read.problems.at(0).first.line, 1);
    QCOMPARE(read.problems.at(1).problem, LineProblem::Empty);
    QCOMPARE(read.problems.at(1).lines, 2);
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

// Lines the logger's own record function writes, read back by the tool with the same locale: what
// each row names must stand in the line, and times and values must come back equal.
void TestLogFileReader::readsBackEveryLocalesWriting_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("written"); // a part of the line

    const auto row = [](const char* name, const char* locale, QTime time, const char* written) {
        QTest::newRow(name) << locale << QDateTime(QDate(2007, 3, 14), time) << QString::fromUtf8(written);
    };
    row("ar_EG native digits, direction marks", "ar_EG", QTime(12, 15, 8),
        "١٤\u200f/٣\u200f/٢٠٠٧ ١٢:١٥:٠٨ م");
    row("ar_EG decimal separator", "ar_EG", QTime(0, 5, 42), " 23٫5625 ");
    row("fa_IR native digits", "fa_IR", QTime(0, 15, 8), "۲۰۰۷/۳/۱۴ ۰:۱۵:۰۸");
    row("ja_JP words in the time", "ja_JP", QTime(12, 15, 0), "2007/03/14 12時15分00秒");
    row("fr_CH hour, minutes, seconds", "fr_CH", QTime(12, 15, 8), "14.03.2007 12.15:08 h");
    row("de_DE", "de_DE", QTime(0, 5, 42), "14.03.2007 00:05:42, ");
    row("en_US midnight", "en_US", QTime(0, 5, 42), "3/14/2007 12:05:42 AM");
    row("en_US noon", "en_US", QTime(12, 15, 8), "3/14/2007 12:15:08 PM");
    row("as_IN noon after its AM/PM text", "as_IN", QTime(12, 15, 8), "অপৰাহ্ন ১২.১৫.০৮");
    row("ccp_BD digits beyond 16 bits", "ccp_BD", QTime(12, 15, 8), "𑄷𑄸:𑄷𑄻:𑄶𑄾 PM");
    row("C month names", "C", QTime(22, 5, 42), "14 Mar 2007 22:05:42");
}

void TestLogFileReader::readsBackEveryLocalesWriting()
{
    QFETCH(QString, locale);
    QFETCH(QDateTime, when);
    QFETCH(QString, written);
    const QLocale loc(locale);
    const QList<LogRecord> records{record(when), record(when.addSecs(3600 * 11 + 59))};
    const QByteArray bytes = lines(records, loc);
    QVERIFY2(QString::fromUtf8(bytes).contains(written), bytes.constData());

    const LogFileContents read = readLogFile(bytes, loc);
    QCOMPARE(read.badLines, 0);
    const QString wrong = differences(read.records, records);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

// Every locale Qt offers: its lines read back in it, and found from the lines alone. Dates after
// the 12th of the month, so that no other locale reads them with day and month swapped.
void TestLogFileReader::everyQtLocaleIsReadAndFound()
{
    QStringList failed;
    for (const QLocale& locale :
         QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory)) {
        const QList<LogRecord> records{record(QDateTime(QDate(2007, 3, 14), QTime(0, 5, 42))),
                                       record(QDateTime(QDate(2007, 3, 14), QTime(12, 15, 8))),
                                       record(QDateTime(QDate(2031, 12, 31), QTime(23, 59, 59)))};
        const QByteArray bytes = lines(records, locale);
        const QString name = quorvel::logfile::localeName(locale);
        QString wrong = differences(readLogFile(bytes, locale).records, records);
        if (!wrong.isEmpty()) {
            failed << name + QStringLiteral(" reads its own lines: ") + wrong;
            continue;
        }
        if (QLocale(name) != locale) {
            failed << name + QStringLiteral(" is another locale by that name");
            continue;
        }
        const LocaleChoice choice = quorvel::logfile::findLogLocale({bytes}, QLocale::c());
        // From a sample of the first line, the tool comes to the same.
        if (said(sampled({bytes}, QLocale::c(), 1)) != said(choice))
            failed << name + QStringLiteral(" from a sample: ") + said(sampled({bytes}, QLocale::c(), 1)) +
                          QStringLiteral(" against ") + said(choice);
        wrong = choice.outcome == LocaleChoice::Ambiguous
                    ? QStringLiteral("ambiguous")
                    : differences(readLogFile(bytes, choice.locale).records, records);
        if (!wrong.isEmpty())
            failed << name + QStringLiteral(" found as ") + choice.locale.name() + QStringLiteral(": ") +
                          wrong;
    }
    QVERIFY2(failed.isEmpty(), qPrintable(failed.join(QLatin1Char('\n'))));
}

void TestLogFileReader::findsTheLogLocale_data()
{
    QTest::addColumn<QList<QByteArray>>("files");
    QTest::addColumn<QString>("given");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QStringList>("locales"); // the one taken, or the first of each way of reading

    const QList<LogRecord> fourteenth = sweeps(QDateTime(QDate(2007, 3, 14), QTime(22, 5, 42)), 5, 10, 0);
    const QList<LogRecord> fourth = sweeps(QDateTime(QDate(2007, 3, 4), QTime(22, 5, 42)), 5, 10, 0);
    const QLocale de(QStringLiteral("de_DE"));
    const QLocale us(QStringLiteral("en_US"));
    const auto row = [](const char* name, QList<QByteArray> files, const char* given,
                        LocaleChoice::Outcome outcome, QStringList locales) {
        QTest::newRow(name) << files << given << int(outcome) << locales;
    };
    row("the user's locale reads them", {lines(fourteenth, de)}, "de_DE", LocaleChoice::Given, {"de_DE"});
    row("the user's locale reads none", {lines(fourteenth, de)}, "en_US", LocaleChoice::Found, {"de_DE"});
    row("junk before the first record", {"junk\r\n" + QByteArray(20, ',') + "\r\n" + lines(fourteenth, de)},
        "C", LocaleChoice::Found, {"de_DE"});
    row("records in the second file", {QByteArray(), lines(fourteenth, QLocale(QStringLiteral("ja_JP")))},
        "C", LocaleChoice::Found, {"ja_JP"});
    row("the user's locale reads as many", {lines(fourteenth, us) + "x , , , , , , , , , , , , , \r\n"},
        "en_US", LocaleChoice::Given, {"en_US"});
    row("nothing is a record", {QByteArray("junk\r\n")}, "C", LocaleChoice::Given, {"C"});
    row("day and month read either way", {lines(fourth, us)}, "C", LocaleChoice::Ambiguous,
        {"en_US", "hi_IN"});
    row("a later day settles it", {lines(fourth, us), lines(fourteenth, us)}, "C", LocaleChoice::Found,
        {"en_US"});
    // The candidates differ in their numbers too: a decimal comma that a point's candidates cannot read.
    const QLocale fr(QStringLiteral("fr_FR"));
    row("a later day settles it, decimal comma", {lines(fourth, fr), lines(fourteenth, fr)}, "C",
        LocaleChoice::Found, {"fr_FR"});
    // The sample reads the 3rd of March alike in both orders; the later days part them, or one fails.
    const QList<LogRecord> third = sweeps(QDateTime(QDate(2007, 3, 3), QTime(22, 5, 42)), 5, 10, 0);
    const QList<LogRecord> thirteenth = sweeps(QDateTime(QDate(2007, 3, 13), QTime(22, 5, 42)), 5, 10, 0);
    row("a day alike either way, then days read two ways", {lines(third, us), lines(fourth, us)}, "C",
        LocaleChoice::Ambiguous, {"en_US", "hi_IN"});
    row("a day alike either way, then a day only one reads", {lines(third, us), lines(thirteenth, us)}, "C",
        LocaleChoice::Found, {"en_US"});
    row("a script of its own", {lines(fourteenth, QLocale(QStringLiteral("ff_Adlm_SN")))}, "C",
        LocaleChoice::Found, {"ff_Adlm_GN"});
}

void TestLogFileReader::findsTheLogLocale()
{
    QFETCH(QList<QByteArray>, files);
    QFETCH(QString, given);
    QFETCH(int, outcome);
    QFETCH(QStringList, locales);

    const LocaleChoice choice =
        quorvel::logfile::findLogLocale(QList<QByteArrayView>(files.begin(), files.end()), QLocale(given));
    // The tool's sample rule: whatever the sample, the same answer.
    for (const qsizetype sample : {1, 3, 7})
        QCOMPARE(said(sampled(files, QLocale(given), sample)), said(choice));
    QCOMPARE(int(choice.outcome), outcome);
    QStringList found;
    if (choice.outcome == LocaleChoice::Ambiguous) {
        for (const auto& r : choice.readings)
            found << quorvel::logfile::localeName(r.locales.first());
        QCOMPARE(choice.readings.first().line, 1);
        QVERIFY(choice.readings.at(0).when.date() != choice.readings.at(1).when.date());
    } else {
        found << quorvel::logfile::localeName(choice.locale);
    }
    QCOMPARE(found, locales);
}

QTEST_GUILESS_MAIN(TestLogFileReader)
#include "tst_logfilereader.moc"
