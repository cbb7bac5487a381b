#include "scriptedserver.h"
#include "simulatorprocess.h"

#include "acquisition/logrecord.h"
#include "acquisition/logrecorder.h"
#include "acquisition/logsession.h"
#include "acquisition/sensortable.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quorvel::acquisition;

namespace {

QString servicePath()
{
    return qEnvironmentVariable("QUORVEL_SERVICE");
}

// The records of a log file or of captured standard output, each with its "\r\n".
QList<QByteArray> records(const QByteArray& bytes)
{
    QList<QByteArray> lines;
    qsizetype from = 0;
    for (qsizetype end; (end = bytes.indexOf("\r\n", from)) >= 0; from = end + 2)
        lines << bytes.mid(from, end + 2 - from);
    if (from < bytes.size())
        lines << bytes.mid(from); // a torn tail, which the checks refuse
    return lines;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qsizetype recordCount(const QString& path)
{
    return readAll(path).count("\r\n");
}

// Every record whole and read back in the locale it was written in.
bool allWhole(const QByteArray& bytes, const QLocale& locale = QLocale())
{
    if (!bytes.isEmpty() && !bytes.endsWith("\r\n"))
        return false;
    for (const QByteArray& line : records(bytes))
        if (!parseLogRecord(QString::fromLocal8Bit(line), locale))
            return false;
    return true;
}

// quorvel3d as a child process; its standard error is kept for the messages.
class Service {
public:
    Service() { process.setProcessChannelMode(QProcess::SeparateChannels); }
    ~Service()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    void start(const QStringList& arguments,
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
    {
        process.setProcessEnvironment(env);
        process.start(servicePath(), arguments);
    }
    // Waits in the event loop, so the test's own sockets (the notify socket) keep being read meanwhile.
    bool finish(int ms = 30000)
    {
        if (process.state() != QProcess::NotRunning) {
            QSignalSpy finished(&process, &QProcess::finished);
            if (!finished.wait(ms))
                return false;
        }
        return process.exitStatus() == QProcess::NormalExit;
    }
    void signal(int number) const { ::kill(static_cast<pid_t>(process.processId()), number); }
    QString errors()
    {
        stderrText += QString::fromLocal8Bit(process.readAllStandardError());
        return stderrText;
    }
    // The port the start message names for the metrics.
    int metricsPort()
    {
        static const QRegularExpression pattern(
            QStringLiteral("metrics http://127\\.0\\.0\\.1:(\\d+)/metrics"));
        const auto match = pattern.match(errors());
        return match.hasMatch() ? match.captured(1).toInt() : 0;
    }

    QProcess process;
    QString stderrText;
};

std::pair<int, QByteArray> httpGet(int port, const QString& path)
{
    QNetworkAccessManager network;
    QNetworkReply* reply =
        network.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path))));
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished() && !done.wait(5000))
        return {0, {}};
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    reply->deleteLater();
    return {status, body};
}

// The value of one sample line ("name{labels} value"); nothing when the line is absent.
std::optional<double> sample(const QByteArray& text, const QByteArray& nameAndLabels)
{
    for (const QByteArray& line : text.split('\n'))
        if (line.startsWith(nameAndLabels + ' '))
            return line.mid(nameAndLabels.size() + 1).toDouble();
    return std::nullopt;
}

QByteArray sensorLabels(int slot)
{
    return "sensor=\"" + QByteArray::number(slot + 1) + "\",rom=\"" +
           QByteArray(RomCodes[slot].data(), qsizetype(RomCodes[slot].size())) + "\",name=\"\"";
}

// A list of three sensors of someone else's: two the built-in table does not have, one it has (its
// sensor 5), in an order of their own, with a comment, a blank line and lower case.
const QByteArray ThreeSensors = "# cellar and attic\n"
                                "3000000123456728 Cellar \"north\"\n"
                                "\n"
                                "bc0000000abcde28\tAttic\n"
                                "6E00000027CD1E28\n";
const QStringList ThreeRoms = {QStringLiteral("3000000123456728"), QStringLiteral("BC0000000ABCDE28"),
                               QStringLiteral("6E00000027CD1E28")};

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestService : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void sweepsWriteTheWindowsLines_data();
    void sweepsWriteTheWindowsLines();
    void refusedStart_data();
    void refusedStart();
    void sigtermLeavesOnlyWholeLines_data();
    void sigtermLeavesOnlyWholeLines();
    void sighupAfterRenameStartsANewFile();
    void metricsAgreeWithTheLastLine();
    void notifiesTheManager();
    void ownSensorListEndToEnd();
    void checkPrintsTheRequests_data();
    void checkPrintsTheRequests();

private:
    SimulatorProcess* sim_ = nullptr;
    std::unique_ptr<QTemporaryDir> dir_;
    QString adapter() const { return QStringLiteral("127.0.0.1:%1").arg(sim_->port()); }
};

void TestService::initTestCase()
{
    QVERIFY2(QFile::exists(servicePath()), "QUORVEL_SERVICE names no program");
    sim_ = new SimulatorProcess(this);
    QVERIFY(sim_->start());
}

void TestService::init()
{
    QVERIFY(sim_->clear());
    QVERIFY(sim_->setLatency(0));
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void TestService::sweepsWriteTheWindowsLines_data()
{
    QTest::addColumn<bool>("toStandardOutput");
    QTest::addColumn<QString>("locale");
    QTest::newRow("file, C") << false << QStringLiteral("C");
    QTest::newRow("file, de_DE") << false << QStringLiteral("de_DE");
    QTest::newRow("standard output, en_US") << true << QStringLiteral("en_US");
}

// The same readings through the window's recorder give the same bytes, and the readings are the
// simulator's: each sensor n drifts between 15+n and 21+n degrees.
void TestService::sweepsWriteTheWindowsLines()
{
    QFETCH(bool, toStandardOutput);
    QFETCH(QString, locale);
    const int sweeps = 4;
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    Service service;
    service.start({QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"),
                   toStandardOutput ? QStringLiteral("-") : path, QStringLiteral("--locale"), locale,
                   QStringLiteral("--sweeps"), QString::number(sweeps)});
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
    const QByteArray out = service.process.readAllStandardOutput();
    const QByteArray written = toStandardOutput ? out : readAll(path);
    if (!toStandardOutput)
        QVERIFY(out.isEmpty());

    const QList<QByteArray> lines = records(written);
    QCOMPARE(lines.size(), sweeps);
    for (const QByteArray& line : lines) {
        const auto record = parseLogRecord(QString::fromLocal8Bit(line), QLocale(locale));
        QVERIFY2(record, line.constData());
        for (int slot = 0; slot < SensorCount; ++slot) {
            QVERIFY(record->readings[slot] >= 16 + slot);
            QVERIFY(record->readings[slot] <= 22 + slot);
        }
        const QString windowFile = dir_->filePath(QStringLiteral("window.log"));
        QFile::remove(windowFile);
        LogSession session;
        QVERIFY(!session.open(windowFile));
        LogRecorder window(session, QLocale(locale), [when = record->when] { return when; });
        QVERIFY(!window.writeRecord(record->readings));
        session.close();
        QCOMPARE(readAll(windowFile), line);
    }
}

void TestService::refusedStart_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("named");
    const QString log = QStringLiteral("--log");
    const QString ok = QStringLiteral("x.log");
    QTest::newRow("unknown option") << QStringList{log, ok, QStringLiteral("--bogus")} << 64 << "--bogus";
    QTest::newRow("missing value") << QStringList{log} << 64 << "--log";
    QTest::newRow("adapter of three octets")
        << QStringList{log, ok, QStringLiteral("--adapter"), QStringLiteral("127.0.0")} << 64 << "--adapter";
    QTest::newRow("adapter port 0") << QStringList{log, ok, QStringLiteral("--adapter=127.0.0.1:0")} << 64
                                    << "--adapter";
    QTest::newRow("metrics without port")
        << QStringList{QStringLiteral("--metrics"), QStringLiteral("127.0.0.1")} << 64 << "--metrics";
    QTest::newRow("metrics port 65536")
        << QStringList{QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:65536")} << 64 << "--metrics";
    QTest::newRow("sweeps 0") << QStringList{log, ok, QStringLiteral("--sweeps"), QStringLiteral("0")} << 64
                              << "--sweeps";
    QTest::newRow("unknown locale") << QStringList{log, ok, QStringLiteral("--locale"),
                                                   QStringLiteral("xx_QQ")}
                                    << 64 << "--locale";
    QTest::newRow("option twice") << QStringList{log, ok, log, ok} << 64 << "--log";
    QTest::newRow("nothing to record") << QStringList{} << 64 << "--log";
    QTest::newRow("log in a missing folder")
        << QStringList{log, QStringLiteral("missing/x.log")} << 73 << "missing/x.log";
    QTest::newRow("metrics address taken")
        << QStringList{QStringLiteral("--metrics"), QStringLiteral("TAKEN")} << 69 << "127.0.0.1:";
    const QString sensors = QStringLiteral("--sensors");
    QTest::newRow("sensor list with a bad line")
        << QStringList{log, ok, sensors, QStringLiteral("bad.list")} << 65 << "bad.list:2: ";
    QTest::newRow("sensor list missing")
        << QStringList{log, ok, sensors, QStringLiteral("missing.list")} << 66 << "missing.list";
    QTest::newRow("sensors without a file name") << QStringList{log, ok, sensors} << 64 << "--sensors";
    QTest::newRow("check with a value") << QStringList{QStringLiteral("--check=yes")} << 64 << "--check";
}

// One line naming what is wrong, the status, and not one request to the adapter.
void TestService::refusedStart()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, named);
    quorvel::testing::ScriptedServer taken({quorvel::testing::ScriptedServer::noAnswer()});
    QVERIFY(taken.listen());
    for (QString& argument : arguments) {
        if (argument == QLatin1String("TAKEN"))
            argument = QStringLiteral("127.0.0.1:%1").arg(taken.port());
        else if (argument.endsWith(QLatin1String(".log")) || argument.endsWith(QLatin1String(".list")))
            argument = dir_->filePath(argument);
    }
    // The CRC of the second sensor is wrong, and so is the third's family: one message each.
    QVERIFY(writeFile(dir_->filePath(QStringLiteral("bad.list")),
                      "3000000123456728\n3100000123456728 Cellar\n3000000123456710\n"));
    const int requestsBefore = sim_->stats().value(1);
    Service service;
    service.start(QStringList{QStringLiteral("--adapter"), adapter()} + arguments);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), status);
    const QString firstLine = service.errors().section(QLatin1Char('\n'), 0, 0);
    QVERIFY2(firstLine.contains(named), qPrintable(firstLine));
    if (status == 65) // every bad line told, on a line of its own
        QVERIFY2(
            service.errors().startsWith(dir_->filePath(QStringLiteral("bad.list:2: "))) &&
                service.errors().contains(QLatin1Char('\n') + dir_->filePath(QStringLiteral("bad.list:3: "))),
            qPrintable(service.errors()));
    QCOMPARE(sim_->stats().value(1), requestsBefore);
}

void TestService::sigtermLeavesOnlyWholeLines_data()
{
    QTest::addColumn<int>("signalNumber");
    for (int round = 0; round < 4; ++round) {
        QTest::addRow("SIGTERM %d", round) << SIGTERM;
        QTest::addRow("SIGINT %d", round) << SIGINT;
    }
}

// At full simulator speed records follow each other within a millisecond or so: a signal at a random
// record count lands anywhere in a sweep or a write.
void TestService::sigtermLeavesOnlyWholeLines()
{
    QFETCH(int, signalNumber);
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    Service service;
    service.start({QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"), path});
    const qsizetype at = QRandomGenerator::global()->bounded(1, 40);
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(path) >= at, 20000);
    service.signal(signalNumber);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
    const QByteArray bytes = readAll(path);
    QVERIFY(records(bytes).size() >= at);
    QVERIFY(allWhole(bytes));
}

// Records are at least a sweep apart here, so the rename and the SIGHUP land between two records: the new
// file must be there at once, before the next record could have made it.
void TestService::sighupAfterRenameStartsANewFile()
{
    QVERIFY(sim_->setLatency(60));
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    const QString rotated = path + QStringLiteral(".1");
    Service service;
    service.start({QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"), path});
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(path) >= 1, 10000);
    const qsizetype before = recordCount(path);
    QVERIFY(QFile::rename(path, rotated));
    service.signal(SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path), 500);
    QCOMPARE(recordCount(path), 0);
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(path) >= 2, 10000);
    service.signal(SIGTERM);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);

    const QByteArray old = readAll(rotated);
    QCOMPARE(records(old).size(), before);
    QVERIFY(allWhole(old));
    QVERIFY(allWhole(readAll(path)));
    QVERIFY(!service.errors().contains(QLatin1String("cannot")));
}

// Sensors with faults give each failure kind; every scrape is compared with the log as it stood around it.
void TestService::metricsAgreeWithTheLastLine()
{
    struct Failing {
        int sensor;
        const char* fault;
        const char* result;
    };
    const std::array<Failing, 4> failing = {{{3, "status500", "http_error"},
                                             {5, "dashes", "not_a_number"},
                                             {7, "missing", "no_element"},
                                             {9, "close", "no_answer"}}};
    for (const Failing& f : failing)
        QVERIFY(sim_->setFault(f.sensor, QString::fromLatin1(f.fault)));
    QVERIFY(sim_->setLatency(5));
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    Service service;
    service.start({QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"), path,
                   QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:0")});
    QTRY_VERIFY_WITH_TIMEOUT(service.metricsPort() > 0, 5000);
    const int port = service.metricsPort();
    // The closed connection of sensor 9 is followed by the one-second pause: a sweep takes about that.
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(path) >= 3, 20000);

    QByteArray text;
    QByteArray lastLine;
    qsizetype lines = 0;
    for (int attempt = 0; attempt < 20 && lastLine.isEmpty(); ++attempt) {
        const QByteArray before = readAll(path);
        const auto [status, body] = httpGet(port, QStringLiteral("/metrics"));
        QCOMPARE(status, 200);
        const QByteArray after = readAll(path);
        if (before == after) {
            text = body;
            lastLine = records(after).last();
            lines = records(after).size();
        }
    }
    QVERIFY(!lastLine.isEmpty());
    const auto record = parseLogRecord(QString::fromLocal8Bit(lastLine));
    QVERIFY(record);

    QCOMPARE(sample(text, "quorvel_sweeps_total"), double(lines));
    QCOMPARE(sample(text, "quorvel_log_records_total"), double(lines));
    QCOMPARE(sample(text, "quorvel_log_write_errors_total"), 0.0);
    QVERIFY(text.contains("quorvel_build_info{version=\"1.0.0\"} 1\n"));
    for (int slot = 0; slot < SensorCount; ++slot) {
        const QByteArray labels = sensorLabels(slot);
        QCOMPARE(sample(text, "quorvel_sensor_temperature_celsius{" + labels + '}'),
                 double(record->readings[slot]));
        const auto bad = std::find_if(failing.begin(), failing.end(),
                                      [&](const Failing& f) { return f.sensor == slot + 1; });
        const auto ok = sample(text, "quorvel_sensor_reads_total{" + labels + ",result=\"ok\"}");
        const auto failures = sample(text, "quorvel_sensor_consecutive_failures{" + labels + '}');
        const auto since = sample(text, "quorvel_sensor_last_success_timestamp_seconds{" + labels + '}');
        if (bad == failing.end()) {
            QVERIFY(ok >= double(lines));
            QCOMPARE(failures, 0.0);
            QVERIFY(since > 0);
            continue;
        }
        // Never read: the log keeps 0, no time of a good read, every read counted under its kind.
        QCOMPARE(record->readings[slot], 0.0f);
        QCOMPARE(ok, 0.0);
        QVERIFY(!since);
        const auto kind =
            sample(text, "quorvel_sensor_reads_total{" + labels + ",result=\"" + bad->result + "\"}");
        QVERIFY2(kind >= double(lines), bad->result);
        QCOMPARE(failures, kind);
    }
    QCOMPARE(httpGet(port, QStringLiteral("/other")).first, 404);
    // One sensor without an answer is that sensor's failure, not an unreachable adapter.
    QVERIFY2(!service.errors().contains(QLatin1String("unreachable")), qPrintable(service.errors()));

    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        QSKIP("promtool is not installed (scripts/install-deps installs the prometheus package)");
    QProcess check;
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    check.write(text);
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(30000));
    QVERIFY2(check.exitCode() == 0, check.readAllStandardOutput() + check.readAllStandardError());
}

// A datagram socket of the test's own stands in for the manager's; the adapter is down throughout the
// first part, and comes up on its port in the second.
void TestService::notifiesTheManager()
{
    const QString socketPath = dir_->filePath(QStringLiteral("notify"));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    QVERIFY(fd >= 0);
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(socketPath);
    QVERIFY(native.size() < qsizetype(sizeof address.sun_path));
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    QVERIFY(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    QStringList messages;
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    connect(&notifier, &QSocketNotifier::activated, this, [&] {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            messages << QString::fromUtf8(buffer, n);
    });

    const quint16 downPort = quorvel::testing::ScriptedServer::unusedPort();
    QVERIFY(downPort != 0);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), socketPath);
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("100000"));
    Service service;
    service.start({QStringLiteral("--adapter"), QStringLiteral("127.0.0.1:%1").arg(downPort),
                   QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:0")},
                  env);
    QTRY_VERIFY_WITH_TIMEOUT(messages.count(QStringLiteral("WATCHDOG=1")) >= 5, 10000);
    QCOMPARE(messages.count(QStringLiteral("READY=1")), 1);
    QVERIFY(messages.indexOf(QStringLiteral("READY=1")) < messages.indexOf(QStringLiteral("WATCHDOG=1")));
    QTRY_COMPARE(service.errors().count(QLatin1String("unreachable")), 1);

    SimulatorProcess adapterBack;
    QVERIFY(adapterBack.start({QStringLiteral("--port"), QString::number(downPort)}));
    QTRY_VERIFY_WITH_TIMEOUT(service.errors().contains(QLatin1String("answers again")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(
        messages.filter(QRegularExpression(QStringLiteral("^STATUS=Last sweep at "))).size() >= 1, 10000);
    service.signal(SIGTERM);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
    QTRY_VERIFY(messages.contains(QStringLiteral("STOPPING=1")));
    QCOMPARE(messages.count(QStringLiteral("READY=1")), 1);
    QCOMPARE(service.errors().count(QLatin1String("unreachable")), 1);
    QCOMPARE(service.errors().count(QLatin1String("answers again")), 1);
}

// Someone else's three sensors: three readings a line in list order, laid out as the window lays out
// its thirteen, the names in the metrics, and the log tool reads the file back.
void TestService::ownSensorListEndToEnd()
{
    const QString list = dir_->filePath(QStringLiteral("sensors"));
    QVERIFY(writeFile(list, ThreeSensors));
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    const int sweeps = 3;
    Service service;
    service.start({QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"), path,
                   QStringLiteral("--locale"), QStringLiteral("C"), QStringLiteral("--sensors"), list,
                   QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:0")});
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(path) >= sweeps, 20000);
    QVERIFY(service.metricsPort() > 0);
    const auto [status, text] = httpGet(service.metricsPort(), QStringLiteral("/metrics"));
    QCOMPARE(status, 200);
    service.signal(SIGTERM);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
    QVERIFY2(service.errors().contains(QLatin1String("3 sensors")), qPrintable(service.errors()));

    const QList<QByteArray> lines = records(readAll(path));
    QVERIFY(lines.size() >= sweeps);
    for (const QByteArray& line : lines) {
        QVERIFY2(!parseLogRecord(QString::fromLocal8Bit(line), QLocale::c()), line.constData());
        const auto record = parseAnyLogRecord(QString::fromLocal8Bit(line), QLocale::c());
        QVERIFY2(record, line.constData());
        QCOMPARE(record->readings.size(), 3);
        // The built-in table's sensor 5 drifts between 20 and 26 degrees wherever a list puts it.
        QVERIFY(record->readings[2] >= 20 && record->readings[2] <= 26);
        for (const float reading : record->readings)
            QVERIFY(reading >= 16 && reading <= 34);
        LogSession session;
        const QString windowFile = dir_->filePath(QStringLiteral("window.log"));
        QFile::remove(windowFile);
        QVERIFY(!session.open(windowFile));
        LogRecorder window(session, QLocale::c(), [when = record->when] { return when; });
        QVERIFY(!window.writeRecord(record->readings));
        session.close();
        QCOMPARE(readAll(windowFile), line);
    }

    for (int slot = 0; slot < 3; ++slot) {
        const QByteArray name = slot == 0 ? "Cellar \\\"north\\\"" : slot == 1 ? "Attic" : "";
        const QByteArray labels = "sensor=\"" + QByteArray::number(slot + 1) + "\",rom=\"" +
                                  ThreeRoms.at(slot).toLatin1() + "\",name=\"" + name + '"';
        QVERIFY2(sample(text, "quorvel_sensor_consecutive_failures{" + labels + '}'), text.constData());
    }
    QVERIFY(!text.contains("sensor=\"4\""));

    QProcess tool;
    tool.start(qEnvironmentVariable("QUORVEL_LOGTOOL"),
               {QStringLiteral("csv"), QStringLiteral("--locale"), QStringLiteral("C"),
                QStringLiteral("--sensors"), list, path});
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 0);
    const QList<QByteArray> csv = tool.readAllStandardOutput().split('\n');
    QCOMPARE(csv.size(), lines.size() + 2); // header, rows, and nothing after the last CR LF
    QCOMPARE(csv.first(), QByteArray("timestamp,\"Cellar \"\"north\"\"\",Attic,sensor3\r"));
    QCOMPARE(csv.at(1).count(','), 3);
}

void TestService::checkPrintsTheRequests_data()
{
    QTest::addColumn<QByteArray>("list"); // empty: no --sensors
    QTest::addColumn<QStringList>("roms");
    QStringList builtIn;
    for (const auto rom : RomCodes)
        builtIn << QString::fromLatin1(rom.data(), qsizetype(rom.size()));
    QTest::newRow("built-in thirteen") << QByteArray() << builtIn;
    QTest::newRow("three of a list") << ThreeSensors << ThreeRoms;
}

// One request URL a line, status 0, no request sent, and no log or metrics wanted.
void TestService::checkPrintsTheRequests()
{
    QFETCH(QByteArray, list);
    QFETCH(QStringList, roms);
    QStringList arguments{QStringLiteral("--check"), QStringLiteral("--adapter"), adapter()};
    if (!list.isEmpty()) {
        QVERIFY(writeFile(dir_->filePath(QStringLiteral("sensors")), list));
        arguments << QStringLiteral("--sensors") << dir_->filePath(QStringLiteral("sensors"));
    }
    const QMap<int, int> before = sim_->stats();
    Service service;
    service.start(arguments);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
    QString expected;
    for (const QString& rom : roms)
        expected += QStringLiteral("http://%1/1Wire/ReadDS18B20.html?DS18B20Request=%7b%2,12%7d\n")
                        .arg(adapter(), rom);
    QCOMPARE(QString::fromLatin1(service.process.readAllStandardOutput()), expected);
    QCOMPARE(service.errors(), QString());
    QCOMPARE(sim_->stats(), before);
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
