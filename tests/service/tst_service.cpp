#include "brokerprocess.h"
#include "notifysocket.h"
#include "owserverprocess.h"
#include "scriptedserver.h"
#include "servicefixture.h"
#include "serviceprocess.h"
#include "simulatorprocess.h"

#include "acquisition/sensorlist.h"
#include "acquisition/sensortable.h"
#include "logfile/logrecord.h"
#include "logfile/logrecorder.h"
#include "logfile/logsession.h"
#include "runtime/conversions.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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

#include <sqlite3.h>

#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quorvel::acquisition;
using namespace quorvel::testing;

class TestService : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void standardOutputTakesTheLines_data();
    void standardOutputTakesTheLines();
    void refusedStart_data();
    void refusedStart();
    void sigtermLeavesOnlyWholeLines_data();
    void sigtermLeavesOnlyWholeLines();
    void sighupAfterRenameStartsANewFile();
    void sighupReadsTheConfigurationAgain();
    void metricsOfTheRealPages();
    void readsAnOwserver();
    void fileSizeLimitCutsTheRecordBack();
    void slowLogHoldsUpOnlyItsSource_data();
    void slowLogHoldsUpOnlyItsSource();
    void notifiesTheManager();
    void statusPageInABrowser();
    void checkPrintsTheRequests_data();
    void checkPrintsTheRequests();
    void killedWhileWritingKeepsTheStore();

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

void TestService::standardOutputTakesTheLines_data()
{
    QTest::addColumn<bool>("socket");
    QTest::newRow("a pipe") << false;
    QTest::newRow("a socket, as the journal gives") << true;
}

// The lines go to standard output as they would go to the file, and nothing else does.
void TestService::standardOutputTakesTheLines()
{
    QFETCH(bool, socket);
    const int sweeps = 3;
    Service service;
    int pair[2] = {-1, -1};
    if (socket) {
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
        service.process.setChildProcessModifier([end = pair[1]] { ::dup2(end, STDOUT_FILENO); });
    }
    service.start({QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"), QStringLiteral("-"),
                   QStringLiteral("--locale"), QStringLiteral("en_US"), QStringLiteral("--sweeps"),
                   QString::number(sweeps)});
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
    QByteArray out = service.process.readAllStandardOutput();
    if (socket) {
        ::close(pair[1]);
        readInto(pair[0], out);
        ::close(pair[0]);
    }
    QCOMPARE(records(out).size(), sweeps);
    // The simulator's sensor n drifts between 15+n and 21+n degrees.
    for (const QByteArray& line : records(out)) {
        const auto record = parseLogRecord(QString::fromLocal8Bit(line), QLocale(QStringLiteral("en_US")));
        QVERIFY2(record, line.constData());
        for (int slot = 0; slot < SensorCount; ++slot)
            QVERIFY(record->readings[slot] >= 16 + slot && record->readings[slot] <= 22 + slot);
    }
}

void TestService::refusedStart_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("named");
    const QString log = QStringLiteral("--log");
    const QString ok = QStringLiteral("x.log");
    // Options and values are refused in process (tst_serviceoptions); this one shows the status and message.
    QTest::newRow("unknown option") << QStringList{log, ok, QStringLiteral("--bogus")} << 64 << "--bogus";
    QTest::newRow("log in a missing folder")
        << QStringList{log, QStringLiteral("missing/x.log")} << 73 << "missing/x.log";
    // Refused without waiting for a reader, at the start and by --check alike.
    const QString check = QStringLiteral("--check");
    QTest::newRow("FIFO log") << QStringList{log, "fifo.log"} << 73 << "fifo.log cannot be opened: is a FIFO";
    QTest::newRow("--check, FIFO log") << QStringList{check, log, "fifo.log"} << 73 << "fifo.log: is a FIFO";
    QTest::newRow("--check, folder log")
        << QStringList{check, log, "folder.log"} << 73 << "folder.log: is a folder";
    QTest::newRow("metrics address taken")
        << QStringList{QStringLiteral("--metrics"), QStringLiteral("TAKEN")} << 69 << "127.0.0.1:";
    const QString sensors = QStringLiteral("--sensors");
    QTest::newRow("sensor list with a bad line")
        << QStringList{log, ok, sensors, QStringLiteral("bad.list")} << 65 << "bad.list:2: ";
    QTest::newRow("sensor list missing")
        << QStringList{log, ok, sensors, QStringLiteral("missing.list")} << 66 << "missing.list";
    const QStringList web{QStringLiteral("--check"), QStringLiteral("--web-config")};
    for (const char* name : {"zero", "huge", "cost 4", "cost 31", "malformed", "aliased"})
        QTest::addRow("web configuration: %s", name) << web + QStringList{name + QStringLiteral(".yml")} << 78
                                                     << QString::fromLatin1(name) + QStringLiteral(".yml");
    QTest::newRow("password file missing") << QStringList{"--mqtt", "mqtt://127.0.0.1",     "--mqtt-user",
                                                          "bob",    "--mqtt-password-file", "missing.list"}
                                           << 66 << "missing.list";
    // Refused before any source starts; the file stays as it was (see below).
    const QStringList store{log, ok, QStringLiteral("--store")};
    QTest::newRow("store: not a store") << store + QStringList{"text.sqlite"} << 78 << "text.sqlite";
    QTest::newRow("--check, store: not a store")
        << QStringList{check} + store + QStringList{"text.sqlite"} << 78 << "text.sqlite";
    QTest::newRow("store in a missing folder")
        << store + QStringList{"missing/h.sqlite"} << 73 << "missing/h.sqlite";
    // Under prlimit: the soft limit is raised to the hard one, and a start that would run out is refused.
    const QStringList listen{"--nofile=16:32", "--listen", "127.0.0.1:0"};
    const QString short32 = "1 source needs about 35 open files; the limit is 32: raise LimitNOFILE=";
    QTest::newRow("open files: --check") << listen + QStringList{check} << 78 << short32;
    QTest::newRow("open files: start") << listen << 78 << short32;
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
        else if (argument.endsWith(QLatin1String(".log")) || argument.endsWith(QLatin1String(".list")) ||
                 argument.endsWith(QLatin1String(".yml")) || argument.endsWith(QLatin1String(".sqlite")))
            argument = dir_->filePath(argument);
    }
    QVERIFY(::mkfifo(QFile::encodeName(dir_->filePath(QStringLiteral("fifo.log"))).constData(), 0600) == 0);
    QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("folder.log")));
    // Web configurations that --check reads and refuses: a device that never ends, a certificate of a
    // GiB (sparse), bcrypt costs too cheap and too dear, a hash that is none, and an alias.
    const QByteArray hash = "$2b$10$" + QByteArray(53, 'a');
    const QByteArray users = "basic_auth_users:\n  scraper: ";
    QFile huge(dir_->filePath(QStringLiteral("huge.pem")));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(1) << 30));
    huge.close();
    QVERIFY(writeFile(dir_->filePath(QStringLiteral("zero.yml")),
                      "tls_server_config:\n  cert_file: /dev/zero\n  key_file: /dev/zero\n"));
    QVERIFY(writeFile(dir_->filePath(QStringLiteral("huge.yml")),
                      "tls_server_config:\n  cert_file: huge.pem\n  key_file: huge.pem\n"));
    QVERIFY(writeFile(dir_->filePath(QStringLiteral("cost 4.yml")),
                      users + QByteArray(hash).replace(4, 2, "04")));
    QVERIFY(writeFile(dir_->filePath(QStringLiteral("cost 31.yml")),
                      users + QByteArray(hash).replace(4, 2, "31")));
    QVERIFY(writeFile(dir_->filePath(QStringLiteral("malformed.yml")),
                      users + QByteArray(hash).replace(4, 2, "99").replace(20, 1, "!")));
    QVERIFY(
        writeFile(dir_->filePath(QStringLiteral("aliased.yml")), users + "&h " + hash + "\n  other: *h\n"));
    // The CRC of the second sensor is wrong, and so is the third's family: one message each.
    QVERIFY(writeFile(dir_->filePath(QStringLiteral("bad.list")),
                      "3000000123456728\n3100000123456728 Cellar\n3000000123456710\n"));
    const QString text = dir_->filePath(QStringLiteral("text.sqlite"));
    const QByteArray textBytes = "SQLite format 3 is not this file's first line\n";
    QVERIFY(writeFile(text, textBytes));
    QStringList prlimit;
    if (arguments.first().startsWith(QLatin1String("--nofile=")))
        prlimit << QStringLiteral("prlimit") << arguments.takeFirst() << QStringLiteral("--");
    const int requestsBefore = sim_->stats().value(1);
    Service service;
    service.start(QStringList{QStringLiteral("--adapter"), adapter()} + arguments,
                  QProcessEnvironment::systemEnvironment(), prlimit);
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
    QCOMPARE(readAll(text), textBytes);
    QVERIFY(!QFile::exists(text + QStringLiteral("-wal")) &&
            !QFile::exists(text + QStringLiteral("-journal")));
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
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path), 10000);
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

// With a configuration file, SIGHUP applies the file as it is now: an unchanged source goes on counting, a
// removed one leaves the metrics, an added one starts; a file that no longer reads is told with its line and
// the running configuration stays.
void TestService::sighupReadsTheConfigurationAgain()
{
    QVERIFY(sim_->setLatency(20));
    const QString file = dir_->filePath(QStringLiteral("quorvel3d.yaml"));
    const auto write = [&](const QStringList& names) {
        QByteArray yaml = "listen: 127.0.0.1:0\nsources:\n";
        for (const QString& name : names)
            yaml += "  - name: " + name.toLatin1() + "\n    address: " + adapter().toLatin1() +
                    "\n    sensors:\n      - id: " + ThreeRoms.at(names.indexOf(name)).toLatin1() + '\n';
        return writeFile(file, yaml);
    };
    QVERIFY(write({QStringLiteral("kept"), QStringLiteral("removed")}));
    Service service;
    service.start({QStringLiteral("--config"), file});
    QTRY_VERIFY_WITH_TIMEOUT(service.metricsPort() > 0, 10000);
    const auto sweeps = [&](const QByteArray& source) {
        return sample(httpGet(service.metricsPort(), QStringLiteral("/metrics")).second,
                      "quorvel_sweeps_total{" + sourceLabels(source) + '}');
    };
    QTRY_VERIFY_WITH_TIMEOUT(sweeps("kept").value_or(0) >= 2 && sweeps("removed").value_or(0) >= 1, 20000);

    QVERIFY(write({QStringLiteral("kept"), QStringLiteral("added")}));
    const double kept = *sweeps("kept");
    service.signal(SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(sweeps("added").value_or(0) >= 1, 20000);
    QCOMPARE(sweeps("removed"), std::nullopt);
    QVERIFY(*sweeps("kept") >= kept);

    QVERIFY(writeFile(file, "sources: [\n"));
    service.signal(SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(service.errors().contains(QStringLiteral("the running configuration stays")),
                             10000);
    QVERIFY2(service.errors().contains(file + QLatin1Char(':')), qPrintable(service.errors()));
    QVERIFY(sweeps("added").has_value());
    service.signal(SIGTERM);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
}

// An error page of the real page component as the metrics count it, a restarted sensor's 85 flagged once
// and still logged, and the text as a scraper's own checker reads it.
void TestService::metricsOfTheRealPages()
{
    QVERIFY(sim_->setFault(3, QStringLiteral("status500")));
    QVERIFY(sim_->setLatency(5));
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    Service service;
    service.start({QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"), path,
                   QStringLiteral("--locale"), QStringLiteral("C"), QStringLiteral("--metrics"),
                   QStringLiteral("127.0.0.1:0")});
    QTRY_VERIFY_WITH_TIMEOUT(service.metricsPort() > 0, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(path) >= 1, 20000);
    QVERIFY(sim_->setFault(2, QStringLiteral("power-on-reset")));
    const qsizetype before = recordCount(path);
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(path) >= before + 3, 20000);
    const auto [status, text] = httpGet(service.metricsPort(), QStringLiteral("/metrics"));
    QCOMPARE(status, 200);
    QCOMPARE(httpGet(service.metricsPort(), QStringLiteral("/other")).first, 404);
    service.signal(SIGTERM);
    QVERIFY(service.finish());

    const auto reads = [&text = text](int slot, const char* result) {
        return sample(text,
                      "quorvel_sensor_reads_total{" + sensorLabels(slot) + ",result=\"" + result + "\"}");
    };
    QVERIFY(reads(2, "http_error") >= 1.0);
    QCOMPARE(reads(2, "ok"), 0.0);
    QCOMPARE(reads(1, "power_on_reset"), 1.0);
    QCOMPARE(reads(0, "power_on_reset"), 0.0);
    qsizetype logged85 = 0;
    for (const QByteArray& line : records(readAll(path)))
        logged85 += parseLogRecord(QString::fromLocal8Bit(line), QLocale::c())->readings[1] == 85.0f;
    QCOMPARE(logged85, 1);
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

// A source of kind owserver against Debian's server, its sensors found by the service: the log, the metrics,
// the JSON, the page and a client of the broker carry what owread reads, under the source's name.
void TestService::readsAnOwserver()
{
    if (!OwserverProcess::available() || !BrokerProcess::available())
        QSKIP("owserver, owread or mosquitto is not installed (scripts/install-deps installs them)");
    OwserverProcess server;
    QVERIFY(server.start(QStringLiteral("28,28,10")));
    BrokerProcess broker;
    QVERIFY(broker.start(BrokerProcess::Kind::Open));
    MqttSubscriber subscriber;
    QVERIFY(subscriber.start(broker));
    const QString path = dir_->filePath(QStringLiteral("usb.log"));
    const QString file = dir_->filePath(QStringLiteral("quorvel3d.yaml"));
    QVERIFY(writeFile(file, "listen: 127.0.0.1:0\nlocale: C\nmqtt: {url: \"" + broker.url().toUtf8() +
                                "\", topic: box}\ninterval: 1\nsources:\n  - name: usb\n    kind: owserver\n"
                                "    address: 127.0.0.1:" +
                                QByteArray::number(server.port()) + "\n    log: " + path.toUtf8() + '\n'));
    const QStringList ids{"10.000010EF0200", "28.000028D70000", "28.000028D70100"};
    QList<float> said;
    QStringList roms;
    for (const QString& id : ids) {
        said.append(server.owread("/" + id + "/temperature").toFloat());
        roms.append(*readRomCode(id, RomFamilies::AnyThermometer).romCode);
    }
    Service service;
    QElapsedTimer running;
    running.start();
    service.start({QStringLiteral("--config"), file});
    QTRY_VERIFY_WITH_TIMEOUT(service.metricsPort() > 0, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(path) >= 2, 20000);
    for (int i = 0; i < 3; ++i) {
        const QString topic = QStringLiteral("box/usb/%1/temperature").arg(roms[i]);
        QVERIFY2(subscriber.waitFor(
                     [&](const MqttSubscriber::Message& m) {
                         return m.topic == topic && m.payload.toFloat() == said[i];
                     },
                     10000),
                 qPrintable(topic));
    }
    const QByteArray metrics = httpGet(service.metricsPort(), QStringLiteral("/metrics")).second;
    const QJsonObject source =
        QJsonDocument::fromJson(httpGet(service.metricsPort(), QStringLiteral("/readings.json")).second)
            .object()[QStringLiteral("sources")][0]
            .toObject();
    const QString page = QString::fromUtf8(httpGet(service.metricsPort(), QStringLiteral("/")).second);
    service.signal(SIGTERM);
    QVERIFY(service.finish());
    // A sweep a second, where the server alone would answer a thousand: one more for the first at start.
    const qint64 sweeps = recordCount(path);
    QVERIFY2(sweeps <= running.elapsed() / 1000 + 1, qPrintable(QString::number(sweeps)));
    QCOMPARE(sample(metrics, "quorvel_sweep_overruns_total{source=\"usb\"}").value_or(-1), 0.0);

    const auto record =
        parseAnyLogRecord(QString::fromLocal8Bit(records(readAll(path)).last()), QLocale::c());
    QVERIFY(record && record->readings.size() == 3);
    QCOMPARE(source[QStringLiteral("name")].toString(), QStringLiteral("usb"));
    const QJsonArray sensors = source[QStringLiteral("sensors")].toArray();
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(record->readings[i], said[i]);
        const QByteArray labels = sensorLabels(i, roms[i].toLatin1(), {}, "usb");
        QCOMPARE(float(sample(metrics, "quorvel_sensor_temperature_celsius{" + labels + '}').value_or(-1)),
                 said[i]);
        QCOMPARE(sensors[i][QStringLiteral("rom")].toString(), roms[i]);
        QCOMPARE(float(sensors[i][QStringLiteral("temperature")].toDouble()), said[i]);
        // The page's row of the sensor: its ROM code and the value as the log writes it.
        const QString row = page.section(QStringLiteral("<tr id=\"sensor-usb-%1\"").arg(i + 1), 1, 1)
                                .section(QStringLiteral("</tr>"), 0, 0);
        QVERIFY2(row.contains(roms[i]) &&
                     row.contains(QStringLiteral("data-key=\"temperature\" class=\"num\">") +
                                  quorvel::runtime::singleToText(said[i], QLocale::c()) +
                                  QStringLiteral(" \u00b0C<")),
                 qPrintable(row));
    }
}

// Past the file size limit (ulimit -f) the write fails instead of the kernel ending the program: the
// record is cut back, the loss told once, and the program ends as asked with only whole lines.
void TestService::fileSizeLimitCutsTheRecordBack()
{
    const QString path = dir_->filePath(QStringLiteral("limited.log"));
    Service service;
    // Room for two records of the thirteen sensors and part of a third.
    service.process.setChildProcessModifier([] {
        const rlimit limit{500, 500};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    service.start({QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"), path,
                   QStringLiteral("--locale"), QStringLiteral("C"), QStringLiteral("--sweeps"),
                   QStringLiteral("5")});
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
    const QByteArray bytes = readAll(path);
    QCOMPARE(records(bytes).size(), 2);
    QVERIFY(allWhole(bytes, QLocale::c()));
    QCOMPARE(service.errors().count(QLatin1String("cannot write the log")), 1);
    QVERIFY2(service.errors().contains(QString::fromLocal8Bit(std::strerror(EFBIG))),
             qPrintable(service.errors()));
}

void TestService::slowLogHoldsUpOnlyItsSource_data()
{
    QTest::addColumn<int>("flushMs");
    QTest::addColumn<bool>("hung"); // the flush does not return until the end
    QTest::newRow("3 s flush") << 3000 << false;
    QTest::newRow("hung flush") << 0 << true;
}

// Two sources, one of whose log flushes slowly or never: the other goes on logging, the metrics answer,
// the hung log is told once and shown, and a stop ends within its bound.
void TestService::slowLogHoldsUpOnlyItsSource()
{
    QFETCH(int, flushMs);
    QFETCH(bool, hung);
    QVERIFY(sim_->setLatency(20));
    const QString folder = QFileInfo(dir_->path()).canonicalFilePath() + u'/';
    QByteArray yaml = "listen: 127.0.0.1:0\nsources:\n";
    for (const QByteArray name : {"stuck", "free"})
        yaml += "  - {name: " + name + ", address: '" + adapter().toLatin1() + "', log: " + name +
                ".log, sensors: [{id: " + ThreeRoms.at(name == "free").toLatin1() + "}]}\n";
    QVERIFY(writeFile(folder + QStringLiteral("q.yaml"), yaml) &&
            (!hung || writeFile(folder + QStringLiteral("hold"), {})));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), qEnvironmentVariable("QUORVEL_SLOWSYNC"));
    env.insert(QStringLiteral("QUORVEL_SLOWSYNC_PATH"), folder + QStringLiteral("stuck.log"));
    env.insert(QStringLiteral("QUORVEL_SLOWSYNC_MS"), QString::number(flushMs));
    env.insert(QStringLiteral("QUORVEL_SLOWSYNC_HOLD"), folder + QStringLiteral("hold"));
    Service service;
    service.start({QStringLiteral("--config"), folder + QStringLiteral("q.yaml")}, env);
    QTRY_VERIFY_WITH_TIMEOUT(service.metricsPort() > 0, 10000);
    const auto metric = [&](const char* name, const QByteArray& source) {
        return sample(httpGet(service.metricsPort(), QStringLiteral("/metrics")).second,
                      name + ('{' + sourceLabels(source)) + '}')
            .value_or(-1);
    };
    // Wall time, as a scrape may wait: with the flushes on the one loop, each of the stuck log's records
    // held the free source up for the whole flush, a few records in this time at most.
    const auto freeRecordsReach = [&](double count) {
        return QTest::qWaitFor([&] { return metric("quorvel_log_records_total", "free") >= count; }, 20000);
    };
    QVERIFY(freeRecordsReach(30));
    if (hung) {
        QTRY_COMPARE_WITH_TIMEOUT(metric("quorvel_log_stalled", "stuck"), 1.0, 20000);
        QCOMPARE(metric("quorvel_log_records_total", "stuck"), 0.0);
        const QByteArray json = httpGet(service.metricsPort(), QStringLiteral("/readings.json")).second;
        QVERIFY2(json.contains("a write has not returned since"), json.constData());
    }
    QCOMPARE(metric("quorvel_log_stalled", "free"), 0.0);
    QVERIFY(freeRecordsReach(metric("quorvel_log_records_total", "free") + 30));
    QElapsedTimer stopping;
    stopping.start();
    service.signal(SIGTERM);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
    // The stop waits 5 s for a hung log: ample room here, but far from waiting for ever.
    QVERIFY2(stopping.elapsed() < 20000, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(service.errors().count(QLatin1String("a log write has not returned since")), hung ? 1 : 0);
    // A slow disk paces its own source, which so loses nothing; a hung one releases it, and what waits for
    // the file at the stop is lost.
    QCOMPARE(service.errors().count(QLatin1String("lost at the stop")), hung ? 1 : 0);
    QVERIFY(allWhole(readAll(folder + QStringLiteral("free.log"))) &&
            allWhole(readAll(folder + QStringLiteral("stuck.log"))));
}

// A datagram socket of the test's own stands in for the manager's; the adapter is down throughout the
// first part, and comes up on its port in the second.
void TestService::notifiesTheManager()
{
    quorvel::testing::NotifySocket manager(dir_->filePath(QStringLiteral("notify")));
    QVERIFY(manager.isListening());
    const QStringList& messages = manager.messages;

    const quint16 downPort = quorvel::testing::ScriptedServer::unusedPort();
    QVERIFY(downPort != 0);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), manager.path());
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

void TestService::checkPrintsTheRequests_data()
{
    QTest::addColumn<QByteArray>("list"); // empty: no --sensors
    QTest::addColumn<QStringList>("roms");
    QTest::addColumn<QStringList>("written"); // the list's lines as --check writes them back
    QStringList builtIn;
    for (const auto rom : RomCodes)
        builtIn << QString::fromLatin1(rom.data(), qsizetype(rom.size()));
    QTest::newRow("built-in thirteen") << QByteArray() << builtIn << QStringList{};
    QTest::newRow("three of a list") << ThreeSensors << ThreeRoms
                                     << QStringList{"3000000123456728 Cellar \"north\"",
                                                    "BC0000000ABCDE28 Attic", "6E00000027CD1E28"};
    QTest::newRow("Linux's form, in the adapter's")
        << QByteArray("28-0000000abcde Attic\n") << QStringList{"BC0000000ABCDE28"}
        << QStringList{"BC0000000ABCDE28 Attic"};
}

// One request URL a line, or with a list the list written back clean, each sensor under its request;
// status 0, no request sent, and no log or metrics wanted.
void TestService::checkPrintsTheRequests()
{
    QFETCH(QByteArray, list);
    QFETCH(QStringList, roms);
    QFETCH(QStringList, written);
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
    for (qsizetype i = 0; i < roms.size(); ++i) {
        const QString url = QStringLiteral("http://%1/1Wire/ReadDS18B20.html?DS18B20Request=%7b%2,12%7d\n")
                                .arg(adapter(), roms.at(i));
        expected += written.isEmpty() ? url : QStringLiteral("# ") + url + written.at(i) + u'\n';
    }
    QCOMPARE(QString::fromLatin1(service.process.readAllStandardOutput()), expected);
    QCOMPARE(service.errors(), QString());
    QCOMPARE(sim_->stats(), before);
}

// The page as a browser shows it: a row per sensor with its reading, names as text, a stale mark once a
// sensor stops, and not one request for anything but the page's own address.
void TestService::statusPageInABrowser()
{
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        QSKIP("chromium is not installed (scripts/install-deps installs it)");
    const QString list = dir_->filePath(QStringLiteral("sensors"));
    QVERIFY(writeFile(list, "3000000123456728 <script>alert(1)</script>\n"
                            "BC0000000ABCDE28 Attic \"onload=alert(2)\n"
                            "6E00000027CD1E28\n"));
    QVERIFY(sim_->setLatency(5));
    Service service;
    service.start({QStringLiteral("--adapter"), adapter(), QStringLiteral("--listen"),
                   QStringLiteral("127.0.0.1:0"), QStringLiteral("--sensors"), list,
                   QStringLiteral("--stale-after"), QStringLiteral("2")});
    QTRY_VERIFY_WITH_TIMEOUT(service.metricsPort() > 0, 5000);
    const QString base = QStringLiteral("http://127.0.0.1:%1/").arg(service.metricsPort());
    const QString netLog = dir_->filePath(QStringLiteral("net.json"));
    const auto dom = [&] {
        QProcess browser;
        browser.start(chromium,
                      {QStringLiteral("--headless=new"), QStringLiteral("--no-sandbox"),
                       QStringLiteral("--disable-gpu"), QStringLiteral("--no-first-run"),
                       QStringLiteral("--disable-background-networking"),
                       QStringLiteral("--disable-component-update"),
                       // No name but the page's resolves, so the browser's own fetches send nothing.
                       QStringLiteral("--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"),
                       QStringLiteral("--user-data-dir=") + dir_->filePath(QStringLiteral("profile")),
                       QStringLiteral("--log-net-log=") + netLog, QStringLiteral("--dump-dom"), base});
        return browser.waitForFinished(60000) && browser.exitCode() == 0
                   ? QString::fromUtf8(browser.readAllStandardOutput())
                   : QString();
    };
    const auto row = [](const QString& page, int sensor) {
        return page.section(QStringLiteral(" id=\"sensor-adapter-%1\"").arg(sensor), 1)
            .section(QStringLiteral("</tr>"), 0, 0);
    };
    QTest::qWait(300); // a sweep or two, each sensor read
    QString page = dom();
    if (page.isEmpty())
        QSKIP("chromium did not start here in headless mode");
    QCOMPARE(page.count(QLatin1String("<tr id=\"sensor-")), 3);
    QVERIFY2(row(page, 1).contains(QLatin1String("&lt;script&gt;alert(1)&lt;/script&gt;")),
             qPrintable(row(page, 1)));
    QVERIFY2(row(page, 2).contains(QLatin1String("Attic \"onload=alert(2)")), qPrintable(row(page, 2)));
    // The simulator's sensor 5 drifts between 20 and 26 degrees, wherever the list puts it.
    static const QRegularExpression temperature(
        QStringLiteral("data-key=\"temperature\" class=\"num\">([0-9.]+) "));
    const double third = temperature.match(row(page, 3)).captured(1).toDouble();
    QVERIFY2(third >= 20 && third <= 26, qPrintable(row(page, 3)));
    QVERIFY(row(page, 1).contains(QLatin1String("data-key=\"stale\" hidden")));

    // The simulator numbers a sensor it does not know by the order it was asked for: the list's first is
    // its 14.
    QVERIFY(sim_->setFault(14, QStringLiteral("missing")));
    QTest::qWait(2500);
    page = dom();
    QVERIFY2(row(page, 1).contains(QLatin1String("data-key=\"stale\">stale")), qPrintable(row(page, 1)));
    QVERIFY2(row(page, 1).contains(QLatin1String("no_element")), qPrintable(row(page, 1)));
    QVERIFY(row(page, 2).contains(QLatin1String("data-key=\"stale\" hidden")));

    // Every address the page asked for is its own; the browser's own background fetches (idle priority,
    // and they reach nothing here) are not the page's.
    static const QRegularExpression requested(
        QStringLiteral("\"priority\":\"(?!IDLE)[A-Z]+\",[^{}]*\"url\":\"([^\"]+)\""));
    QStringList urls;
    for (auto it = requested.globalMatch(QString::fromUtf8(readAll(netLog))); it.hasNext();)
        urls << it.next().captured(1);
    QVERIFY2(urls.contains(base) && urls.contains(base + QStringLiteral("chart.svg")),
             qPrintable(urls.join(u' ')));
    for (const QString& url : urls)
        QVERIFY2(url.startsWith(base), qPrintable(url));
    service.signal(SIGTERM);
    QVERIFY(service.finish());
}

// The first value of a query with ? bound to `bound`; empty when the store cannot be read. Read-write, so a
// write-ahead log a kill left is recovered as the next start would.
static QString storeValue(const QString& path, const QByteArray& sql, qint64 bound = 0)
{
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    QString value;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
            SQLITE_OK &&
        sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.constData(), -1, &statement, nullptr) == SQLITE_OK &&
        (sqlite3_bind_parameter_count(statement) == 0 ||
         sqlite3_bind_int64(statement, 1, bound) == SQLITE_OK) &&
        sqlite3_step(statement) == SQLITE_ROW)
        value = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

// At full simulator speed and a sample a sweep the writer commits every second: SIGKILL lands in or between
// its transactions, and each start goes on with the file the last one left.
void TestService::killedWhileWritingKeepsTheStore()
{
    const QString config = dir_->filePath(QStringLiteral("quorvel3d.yaml"));
    const QString store = dir_->filePath(QStringLiteral("history.sqlite"));
    QVERIFY(writeFile(config, "sources:\n  - name: adapter\n    address: " + adapter().toLatin1() +
                                  "\nstore:\n  path: history.sqlite\n  sample_interval: 0\n"));
    const QByteArray since = "SELECT count(*) FROM samples WHERE time >= ?";
    QList<qint64> starts;
    for (int round = 0; round < 5; ++round) {
        starts << QDateTime::currentSecsSinceEpoch();
        Service service;
        service.start({QStringLiteral("--config"), config});
        QVERIFY2(QTest::qWaitFor([&] { return storeValue(store, since, starts.last()).toInt() > 0; }, 30000),
                 qPrintable(service.errors()));
        QTest::qWait(int(QRandomGenerator::global()->bounded(1000)));
        service.signal(SIGKILL);
        service.finish();
        QCOMPARE(service.process.exitStatus(), QProcess::CrashExit);
        QTest::qWait(1100); // the next round's rows start a second later
    }
    QCOMPARE(storeValue(store, "PRAGMA integrity_check"), QStringLiteral("ok"));
    starts << QDateTime::currentSecsSinceEpoch() + 1;
    for (int round = 0; round + 1 < starts.size(); ++round)
        QVERIFY2(storeValue(store, since + " AND time < " + QByteArray::number(starts.at(round + 1)),
                            starts.at(round))
                         .toInt() > 0,
                 qPrintable(QStringLiteral("round %1").arg(round)));
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
