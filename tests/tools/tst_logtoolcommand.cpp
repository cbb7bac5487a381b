#include "logtoolfixture.h"

#include <QImage>
#include <QProcess>
#include <QtTest>

#include <zlib.h>

using namespace logtoolfixture;

namespace {

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// One gzip member, as gzip(1) writes it.
QByteArray gzip(const QByteArray& bytes)
{
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(int(deflateBound(&z, uLong(bytes.size()))), Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.constData()));
    z.avail_in = uInt(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(out.size() - qsizetype(z.avail_out));
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : QByteArray();
}

} // namespace

// The real executable, once per command and per way of failing.
class TestLogToolCommand : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void exitStatus_data();
    void exitStatus();
    void csvOfSeveralFilesKeepsEveryRecordInOrder();
    void writesPlotFiles_data();
    void writesPlotFiles();
    void csvToFileEqualsStdout();

private:
    struct Result {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    // stdinFile: what standard input reads; dataLimitKb: the data segment the tool may have (ulimit -d).
    Result run(const QStringList& args, const QString& stdinFile = {}, int dataLimitKb = 0);
    [[nodiscard]] QString file(const QString& name) const { return dir_->filePath(name); }

    std::unique_ptr<QTemporaryDir> dir_;
};

TestLogToolCommand::Result TestLogToolCommand::run(const QStringList& args, const QString& stdinFile,
                                                   int dataLimitKb)
{
    QProcess p;
    if (!stdinFile.isEmpty())
        p.setStandardInputFile(file(stdinFile));
    p.setWorkingDirectory(dir_->path());
    // The locale the tool starts from, whatever the machine's.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    // As under cron or sudo: a plot says nothing of it.
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    p.setProcessEnvironment(env);
    if (dataLimitKb > 0)
        p.start(QStringLiteral("/bin/sh"),
                QStringList{QStringLiteral("-c"),
                            QStringLiteral("ulimit -d %1 && exec \"$0\" \"$@\"").arg(dataLimitKb),
                            QStringLiteral(QUORVEL_LOGTOOL_PATH)} +
                    args);
    else
        p.start(QStringLiteral(QUORVEL_LOGTOOL_PATH), args);
    Result r;
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

void TestLogToolCommand::initTestCase()
{
    dir_ = scratchDir();
    QVERIFY(dir_->isValid());
    QVERIFY(
        writeStandardLog(file(QStringLiteral("en.log")), QLocale(QStringLiteral("en_US")), standardLog()));
    // 4,000 records a minute apart from 2007-03-14 00:00:42 (800 kB, longer than the bisection's reach).
    QVERIFY(appendPeriod(file(QStringLiteral("long.log")),
                         sweeps(QDateTime(QDate(2007, 3, 14), QTime(0, 0, 42)), 4000, 60, 0),
                         QLocale(QStringLiteral("en_US"))));
    // The same with a later day appended before it: time steps back, so bisection does not hold.
    QVERIFY(appendPeriod(file(QStringLiteral("back.log")),
                         sweeps(QDateTime(QDate(2007, 3, 20), QTime(0, 0, 42)), 2000, 60, 0),
                         QLocale(QStringLiteral("en_US"))));
    QVERIFY(writeFile(file(QStringLiteral("back.log")), contents(file(QStringLiteral("back.log"))) +
                                                            contents(file(QStringLiteral("long.log")))));
    QVERIFY(
        writeStandardLog(file(QStringLiteral("de.log")), QLocale(QStringLiteral("de_DE")), standardLog()));
    QFile empty(file(QStringLiteral("empty.log")));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    QFile mixed(file(QStringLiteral("mixed.log")));
    QVERIFY(mixed.open(QIODevice::WriteOnly));
    const QByteArray good = contents(file(QStringLiteral("en.log"))).left(300);
    mixed.write(good.left(good.indexOf('\n') + 1) + "junk\r\n" + good.left(good.indexOf('\n') + 1));
    mixed.close();
    QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("folder")));
    // The service started with a list of three sensors right after the window program's thirteen.
    const QDateTime start(QDate(2007, 3, 14), QTime(22, 5, 42));
    QVERIFY(appendPeriod(file(QStringLiteral("counts.log")), sweeps(start, 5, 10, 0), QLocale::c()));
    QVERIFY(appendPeriod(file(QStringLiteral("counts.log")), sweeps(start.addSecs(50), 5, 10, 0, 3),
                         QLocale::c()));
    QFile names(file(QStringLiteral("names.list")));
    QVERIFY(names.open(QIODevice::WriteOnly));
    names.write("# cellar first\n9C000000B4A89828 Cellar, north wall\n06000000A4EC7428\tAttic\n"
                "A1000000A4D34C28\n");
    names.close();
    QFile badNames(file(QStringLiteral("bad.list")));
    QVERIFY(badNames.open(QIODevice::WriteOnly));
    badNames.write("9C000000B4A89829 Cellar\n");
    badNames.close();
    // The standard log rotated: its first two periods compressed, as the package's rotation leaves them.
    const StandardLog log = standardLog();
    QVERIFY(appendPeriod(file(QStringLiteral("w1.log")), log.periods.at(0) + log.periods.at(1),
                         QLocale(QStringLiteral("en_US"))));
    QVERIFY(
        appendPeriod(file(QStringLiteral("w2.log")), log.periods.at(2), QLocale(QStringLiteral("en_US"))));
    QVERIFY(writeFile(file(QStringLiteral("w1.log.gz")), gzip(contents(file(QStringLiteral("w1.log"))))));
    // More than the tool may hold under the data limit of its row (500,000 records, 100 MB), compressed:
    // 125 gzip members of the same 4,000 records, each member a logging period.
    const QByteArray block = contents(file(QStringLiteral("long.log")));
    QByteArray big;
    const QByteArray member = gzip(block);
    for (int i = 0; i < 125; ++i)
        big += member;
    QVERIFY(writeFile(file(QStringLiteral("big.log.gz")), big));
    QVERIFY(writeFile(file(QStringLiteral("truncated.log.gz")), member.chopped(member.size() / 2)));
    // A CR LF split by the tool's 1 MiB reads: the blanks a record may end in put the CR at the last byte.
    const QByteArray twice = block + block;
    QByteArray split = twice.left(twice.lastIndexOf('\n', (1 << 20) - 300) + 1);
    const QByteArray last = twice.mid(split.size(), twice.indexOf('\n', split.size()) + 1 - split.size());
    split += last.chopped(2) + QByteArray((1 << 20) - 1 - split.size() - (last.size() - 2), ' ') + "\r\n";
    QCOMPARE(split.indexOf('\r', (1 << 20) - 2), (1 << 20) - 1);
    QVERIFY(writeFile(file(QStringLiteral("split.log")), split + block.left(block.indexOf('\n') + 1)));
    // 3/4/2007 is the 4th of March in en_US and the 3rd of April where the day comes first.
    QVERIFY(appendPeriod(file(QStringLiteral("fourth.log")),
                         sweeps(QDateTime(QDate(2007, 3, 4), QTime(22, 5, 42)), 20, 10, 0),
                         QLocale(QStringLiteral("en_US"))));
}

void TestLogToolCommand::exitStatus_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out"); // a part of stdout
    QTest::addColumn<QByteArray>("err"); // a part of stderr
    QTest::addColumn<QString>("input");  // standard input's file
    QTest::addColumn<int>("dataLimitKb");

    const auto row = [](const char* name, QStringList args, int code, const char* out, const char* err,
                        const char* input = "", int dataLimitKb = 0) {
        QTest::newRow(name) << args << code << QByteArray(out) << QByteArray(err) << QString(input)
                            << dataLimitKb;
    };
    row("help", {"--help"}, 0, "Exit status", "");
    row("csv", {"csv", "--locale", "en_US", "en.log"}, 0, "timestamp,sensor1,", "");
    row("csv of several files in order", {"csv", "--locale", "de_DE", "de.log", "empty.log", "de.log"}, 0,
        "sensor13\r\n", "");
    row("stats", {"stats", "--locale", "de_DE", "de.log"}, 0, "65 records in 3 logging periods", "");
    row("stats as csv", {"stats", "--locale", "en_US", "--format", "csv", "--stale", "13", "en.log"}, 0,
        "\r\n13,65,21.5,21.5,21.500000,,65,0,true\r\n", "");
    row("empty file", {"csv", "empty.log"}, 0, "timestamp,", "");
    row("a new count of readings starts a new period", {"stats", "--locale", "C", "counts.log"}, 0,
        "10 records in 2 logging periods", "");
    row("csv columns of the widest period", {"csv", "--locale", "C", "counts.log"}, 0,
        "sensor12,sensor13\r\n", "");
    row("csv: a narrower record leaves the rest empty", {"csv", "--locale", "C", "counts.log"}, 0,
        ",17.75,,,,,,,,,,\r\n", "");
    row("csv: the sensors' names from the list",
        {"csv", "--locale", "C", "--sensors", "names.list", "counts.log"}, 0,
        "timestamp,\"Cellar, north wall\",Attic,sensor3,sensor4,",
        "warning: names.list lists 3 sensors, but 5 records of the log have 13 readings");
    row("csv: a sensor list that fits no record",
        {"csv", "--locale", "en_US", "--sensors", "names.list", "en.log"}, 1, "",
        "names.list lists 3 sensors, but every record of the log has 13 readings");
    row("csv: a sensor list that is no good", {"csv", "--sensors", "bad.list", "counts.log"}, 1, "",
        "bad.list:1: ");
    row("csv: a sensor list that is missing", {"csv", "--sensors", "none.list", "counts.log"}, 1, "",
        "none.list");
    row("stats: the sensors' names in a last column",
        {"stats", "--format", "csv", "--locale", "C", "--sensors", "names.list", "counts.log"}, 0,
        "stale,name\r\n1,", "warning: names.list lists 3 sensors");
    row("bad line among records", {"stats", "--locale", "en_US", "mixed.log"}, 0, "2 records",
        "mixed.log:2: ");
    row("every line bad, said once", {"csv", "--locale", "de_DE", "en.log"}, 2, "timestamp,",
        "en.log:1: date-time \"3/14/2007 10:05:42 PM\" is not written the de_DE way (like \"14.03.2007 "
        "22:05:42\") (and 64 more lines for the same reason)\n");
    row("the logger's locale found", {"stats", "de.log", "empty.log"}, 0, "65 records",
        "reading the records as the de_DE locale writes them; the current locale, C, does not");
    row("dates that read two ways", {"csv", "fourth.log"}, 1, "",
        "give the logger's with --locale:\n  --locale en_US (or ");
    row("no arguments", {}, 1, "", "no command given");
    row("unknown command", {"graph", "en.log"}, 1, "", "unknown command");
    row("no file", {"stats"}, 1, "", "no log file given");
    row("plot without output", {"plot", "en.log"}, 1, "", "plot needs an output file");
    row("plot to an unknown type", {"plot", "-o", "x.gif", "en.log"}, 1, "", ".png or .svg");
    row("size too small", {"plot", "--size", "399x300", "-o", "x.png", "en.log"}, 1, "", "--size");
    row("size not a size", {"plot", "--size", "big", "-o", "x.png", "en.log"}, 1, "", "--size");
    row("size for csv", {"csv", "--size", "800x600", "en.log"}, 1, "", "--size does not apply to csv");
    row("unknown locale", {"csv", "--locale", "xx_NOWHERE", "en.log"}, 1, "", "unknown locale");
    row("stale limit too low", {"stats", "--stale", "1", "en.log"}, 1, "", "--stale");
    row("unknown option", {"csv", "--colour", "en.log"}, 1, "", "colour");
    row("missing file", {"csv", "en.log", "missing.log"}, 1, "", "missing.log: cannot read");
    row("directory", {"stats", "folder"}, 1, "", "folder: cannot read: is a directory");
    row("standard input", {"stats", "-"}, 0, "65 records in 3 logging periods",
        "reading the records as the en_US locale writes them", "en.log");
    row("compressed standard input", {"csv", "--locale", "en_US", "-"}, 0, "2007-03-14T22:05:42", "",
        "w1.log.gz");
    row("standard input twice", {"stats", "-", "-"}, 1, "",
        "-: cannot read: standard input is given more than once", "en.log");
    row("rotated files in time order, whatever the order given",
        {"stats", "--locale", "en_US", "w2.log", "w1.log.gz"}, 0,
        "65 records in 3 logging periods, 2007-03-14T22:05:42", "");
    row("compressed file that ends early", {"stats", "--locale", "en_US", "truncated.log.gz"}, 1, "",
        "truncated.log.gz: cannot read: the compressed data ends early");
    row("more records than the tool may hold", {"stats", "--locale", "en_US", "big.log.gz"}, 0,
        "500000 records in 125 logging periods", "", "", 64 * 1024);
    const QByteArray split =
        QByteArray::number(contents(file(QStringLiteral("split.log"))).count('\n')) + " records";
    row("CR LF across the tool's reads", {"stats", "--locale", "en_US", "split.log"}, 0, split.constData(),
        "");
    row("--from and --to",
        {"stats", "--locale", "en_US", "--from", "2007-03-14T22:40", "--to", "2007-03-15", "en.log"}, 0,
        "20 records in 1 logging period, 2007-03-14T22:40:42", "");
    row("--from by bisection", {"stats", "--locale", "en_US", "--from", "2007-03-15T06:00", "long.log"}, 0,
        "2200 records in 1 logging period, 2007-03-15T06:00:42", "");
    row("--to by bisection", {"stats", "--locale", "en_US", "--to", "2007-03-14T12:00", "long.log"}, 0,
        "720 records in 1 logging period, 2007-03-14T00:00:42", "");
    row("--from where time steps back",
        {"stats", "--locale", "en_US", "--from", "2007-03-15T06:00", "back.log"}, 0,
        "4200 records in 2 logging periods, 2007-03-20T00:00:42", "");
    row("one record, one period", {"stats", "--locale", "en_US", "--to", "2007-03-14T22:05:42", "en.log"}, 0,
        "1 record in 1 logging period,", "");
    row("--to before --from", {"stats", "--from", "2007-03-15", "--to", "2007-03-14", "en.log"}, 1, "",
        "--to is before --from");
    row("--from not a time", {"stats", "--from", "yesterday", "en.log"}, 1, "", "--from must be an ISO 8601");
}

void TestLogToolCommand::exitStatus()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QString, input);
    QFETCH(int, dataLimitKb);
#ifdef QUORVEL_SANITIZE
    // AddressSanitizer's shadow memory does not fit a data limit; the row still reads the whole log.
    dataLimitKb = 0;
#endif
    const Result r = run(args, input, dataLimitKb);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.out.contains(out), r.out.left(2000).constData());
    QVERIFY2(r.err.contains(err), r.err.constData());
    // Nothing said where nothing is expected: no bad line, no locale found.
    if (err.isEmpty())
        QVERIFY2(r.err.isEmpty(), r.err.constData());
    if (exitCode == 1)
        QVERIFY(r.out.isEmpty());
}

void TestLogToolCommand::csvOfSeveralFilesKeepsEveryRecordInOrder()
{
    const Result r = run({"csv", "--locale", "de_DE", "de.log", "empty.log", "de.log"});
    QCOMPARE(r.exitCode, 0);
    QStringList rows = QString::fromUtf8(r.out).split(QStringLiteral("\r\n"));
    QCOMPARE(rows.takeLast(), QString()); // the rest after the last line end
    QCOMPARE(rows.size(), 1 + 2 * 65);
    QVERIFY(rows.at(0).startsWith(QLatin1String("timestamp,sensor1,")));
    // The second file starts over with the first file's first record.
    QCOMPARE(rows.at(1 + 65), rows.at(1));
    QCOMPARE(rows.at(65), rows.last());
    QVERIFY(rows.at(1) != rows.at(65));
}

void TestLogToolCommand::writesPlotFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("png") << "plot.png";
    QTest::newRow("svg") << "plot.SVG";
}

void TestLogToolCommand::writesPlotFiles()
{
    QFETCH(QString, name);
    const Result r = run({"plot", "--locale", "en_US", "--size", "800x450", "-o", name, "en.log"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.isEmpty(), r.err.constData());
    const QByteArray bytes = contents(file(name));
    if (name.endsWith(QLatin1String(".png"))) {
        QVERIFY(bytes.startsWith("\x89PNG"));
        QCOMPARE(QImage::fromData(bytes).size(), QSize(800, 450));
    } else {
        QVERIFY(bytes.startsWith("<?xml"));
        QVERIFY(bytes.contains("width=\"800\" height=\"450\""));
        QCOMPARE(bytes.count("class=\"legend-entry\""), 13);
    }
}

void TestLogToolCommand::csvToFileEqualsStdout()
{
    const Result toStdout = run({"csv", "--locale", "en_US", "en.log"});
    const Result toFile = run({"csv", "--locale", "en_US", "-o", "en.csv", "en.log"});
    QCOMPARE(toStdout.exitCode, 0);
    QCOMPARE(toFile.exitCode, 0);
    QVERIFY(toFile.out.isEmpty());
    QCOMPARE(contents(file(QStringLiteral("en.csv"))), toStdout.out);
    QCOMPARE(toStdout.out.count("\r\n"), 66);
}

QTEST_GUILESS_MAIN(TestLogToolCommand)
#include "tst_logtoolcommand.moc"
