#include "brokerprocess.h"
#include "notifysocket.h"
#include "scriptedserver.h"
#include "servicefixture.h"
#include "serviceprocess.h"
#include "simulatorprocess.h"

#include "acquisition/sensortable.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>

#include <sys/stat.h>

using namespace quorvel::acquisition;
using namespace quorvel::testing;
using Kind = BrokerProcess::Kind;
using Message = MqttSubscriber::Message;

namespace {

const QString Base = QStringLiteral("test/box");
const QString Prefix = QStringLiteral("homeassistant");

QString rom(int slot)
{
    return QString::fromLatin1(RomCodes[std::size_t(slot)].data(),
                               qsizetype(RomCodes[std::size_t(slot)].size()));
}

QString topic(int slot, const char* leaf)
{
    return Base + QLatin1Char('/') + rom(slot) + QLatin1Char('/') + QLatin1String(leaf);
}

QString configTopic(const QString& romCode)
{
    return Prefix + QStringLiteral("/sensor/quorvel3d_") + romCode + QStringLiteral("/config");
}

// The service's MQTT options for this broker; a password file and a CA file as the row says.
QStringList mqttArguments(const BrokerProcess& broker, const QString& passwordFile = {},
                          const QString& caFile = {})
{
    QStringList arguments{QStringLiteral("--mqtt"),           broker.url(),
                          QStringLiteral("--mqtt-topic"),     Base,
                          QStringLiteral("--mqtt-keepalive"), QStringLiteral("5")};
    if (!passwordFile.isEmpty())
        arguments << QStringLiteral("--mqtt-user") << QLatin1String(BrokerProcess::User)
                  << QStringLiteral("--mqtt-password-file") << passwordFile;
    if (!caFile.isEmpty())
        arguments << QStringLiteral("--mqtt-cafile") << caFile;
    return arguments;
}

QByteArray fetch(int port, const QString& path)
{
    QNetworkAccessManager network;
    QNetworkReply* reply =
        network.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path))));
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        done.wait(5000);
    reply->deleteLater();
    return reply->readAll();
}

QByteArray metrics(int port)
{
    return fetch(port, QStringLiteral("/metrics"));
}

// Runs the service in a mount namespace of its own whose /etc/hosts is this file (a FIFO nobody writes to:
// a name service that never answers) and whose name server is on loopback, where none listens: no lookup
// leaves the machine. Empty when namespaces are not permitted here.
QStringList ownNameService(const QString& hosts, const QString& resolvConf)
{
    if (QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("-rm"), QStringLiteral("true")}) != 0 ||
        !writeFile(resolvConf, "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"))
        return {};
    return {
        QStringLiteral("unshare"),
        QStringLiteral("-rm"),
        QStringLiteral("sh"),
        QStringLiteral("-c"),
        QStringLiteral("mount --bind \"$1\" /etc/hosts && mount --bind \"$2\" /etc/resolv.conf && shift 2 && "
                       "exec \"$@\""),
        QStringLiteral("sh"),
        hosts,
        resolvConf};
}

// Between the service and the broker, a connection that does not hold: each is dropped 0.2 s after it was
// made, or it goes mute after the broker's first answer (the CONNACK). Counts the connections.
class FlakyProxy : public QObject {
public:
    enum class Mode { Drop, Mute };
    static constexpr int DropMs = 200;

    FlakyProxy(Mode mode, quint16 brokerPort) : mode_(mode), brokerPort_(brokerPort)
    {
        connect(&server_, &QTcpServer::newConnection, this, &FlakyProxy::accept);
    }
    bool listen() { return server_.listen(QHostAddress::LocalHost, 0); }
    [[nodiscard]] quint16 port() const { return server_.serverPort(); }
    [[nodiscard]] int connections() const { return connections_; }

private:
    void accept()
    {
        while (QTcpSocket* client = server_.nextPendingConnection()) {
            ++connections_;
            auto* broker = new QTcpSocket(client);
            auto answered = std::make_shared<bool>(false);
            connect(client, &QTcpSocket::readyRead, broker,
                    [client, broker] { broker->write(client->readAll()); });
            connect(broker, &QTcpSocket::readyRead, client, [this, client, broker, answered] {
                const QByteArray bytes = broker->readAll();
                if (mode_ == Mode::Drop || !std::exchange(*answered, true))
                    client->write(bytes);
            });
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            connect(broker, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
            broker->connectToHost(QHostAddress::LocalHost, brokerPort_);
            if (mode_ == Mode::Drop)
                QTimer::singleShot(DropMs, client, [client] { client->disconnectFromHost(); });
        }
    }

    Mode mode_;
    quint16 brokerPort_;
    QTcpServer server_;
    int connections_ = 0;
};

qsizetype count(const QList<Message>& messages, const std::function<bool(const Message&)>& condition)
{
    return std::count_if(messages.begin(), messages.end(), condition);
}

} // namespace

class TestMqtt : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void publishesAndAnnounces_data();
    void publishesAndAnnounces();
    void brokerTroubleNeverStopsLogging_data();
    void brokerTroubleNeverStopsLogging();
    void brokerComesAndGoes_data();
    void brokerComesAndGoes();
    void connectionsThatDoNotHold_data();
    void connectionsThatDoNotHold();
    void alarmReachesEveryOutput();

private:
    SimulatorProcess* sim_ = nullptr;
    std::unique_ptr<QTemporaryDir> dir_;
    QString adapter() const { return QStringLiteral("127.0.0.1:%1").arg(sim_->port()); }
};

void TestMqtt::initTestCase()
{
    if (!BrokerProcess::available())
        QSKIP("mosquitto, its clients or openssl are not installed (scripts/install-deps installs them)");
    QVERIFY2(QFile::exists(servicePath()), "QUORVEL_SERVICE names no program");
    sim_ = new SimulatorProcess(this);
    QVERIFY(sim_->start());
}

void TestMqtt::init()
{
    QVERIFY(sim_->clear());
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void TestMqtt::publishesAndAnnounces_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<int>("ending");        // the signal that ends the service
    QTest::addColumn<QString>("assistant"); // Home Assistant's status topic; empty: its default
    QTest::newRow("open, clean stop") << Kind::Open << SIGTERM << QString();
    QTest::newRow("login, kill -9, own status topic") << Kind::Login << SIGKILL << QStringLiteral("ha/up");
    QTest::newRow("TLS with the right CA, kill -9") << Kind::Tls << SIGKILL << QString();
}

// Everything a Home Assistant installation relies on, read back by a client of the broker's own.
void TestMqtt::publishesAndAnnounces()
{
    QFETCH(Kind, kind);
    QFETCH(int, ending);
    QFETCH(QString, assistant);
    BrokerProcess broker;
    QVERIFY(broker.start(kind));
    // Left by an earlier run: a config of ours for a sensor no longer listed, and another program's.
    const QString gone = QStringLiteral("0000000000000028");
    const QByteArray stale = "{\"unique_id\":\"quorvel3d_" + gone.toLatin1() +
                             "\",\"device\":{\"identifiers\":[\"quorvel3d_test_box\"]},\"state_topic\":\"" +
                             Base.toLatin1() + '/' + gone.toLatin1() + "/temperature\"}";
    const QString foreign = Prefix + QStringLiteral("/sensor/other_1/config");
    QVERIFY(broker.publish(configTopic(gone), stale, true));
    QVERIFY(broker.publish(Base + QLatin1Char('/') + gone + QStringLiteral("/temperature"), "19.5", true));
    QVERIFY(broker.publish(foreign, "{\"unique_id\":\"other_1\",\"device\":{\"identifiers\":[\"other\"]}}",
                           true));
    MqttSubscriber live;
    QVERIFY(live.start(broker));
    const QStringList login =
        mqttArguments(broker, kind == Kind::Open ? QString() : broker.file(QStringLiteral("password")),
                      kind == Kind::Tls ? broker.caFile() : QString());
    // Another box, its base ours with '_' for '/' (once the same device identifier), its sensors not ours.
    const QString list = dir_->filePath(QStringLiteral("sensors"));
    QVERIFY(writeFile(list, ThreeSensors));
    const QString otherConfig = configTopic(QStringLiteral("3000000123456728"));
    Service other;
    QStringList otherArguments = login;
    otherArguments[3] = QStringLiteral("test_box");
    other.start(QStringList{QStringLiteral("--adapter"), adapter(), QStringLiteral("--sensors"), list} +
                otherArguments);
    QVERIFY2(live.waitFor([&](const Message& m) { return m.topic == otherConfig; }, 20000),
             qPrintable(other.errors()));
    other.signal(SIGTERM);
    QVERIFY(other.finish());

    QVERIFY(sim_->setLatency(5));
    QVERIFY(sim_->setFault(5, QStringLiteral("power-on-reset")));
    Service service;
    service.start(QStringList{QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"),
                              dir_->filePath(QStringLiteral("sweep.log")), QStringLiteral("--metrics"),
                              QStringLiteral("127.0.0.1:0")} +
                  login +
                  (assistant.isEmpty() ? QStringList{}
                                       : QStringList{QStringLiteral("--mqtt-assistant-status"), assistant}));
    const QString last = topic(SensorCount - 1, "temperature");
    int seen = 0;
    QVERIFY2(live.waitFor([&](const Message& m) { return m.topic == last && ++seen == 2; }, 20000),
             qPrintable(service.errors()));

    // What a Home Assistant that starts now gets: retained status, configs and states.
    MqttSubscriber late;
    QVERIFY(late.start(broker));
    // The subscription's retained messages all come before its probe: they are in once start() returned.
    const auto retained = [&late](const QString& topic) {
        QList<Message> out = late.on(topic);
        out.removeIf([](const Message& m) { return !m.retained; });
        return out;
    };
    const QList<Message> status = retained(Base + QStringLiteral("/status"));
    QCOMPARE(status.size(), 1);
    QVERIFY(status.first().retained);
    QCOMPARE(status.first().payload, QByteArray("online"));
    for (int slot = 0; slot < SensorCount; ++slot) {
        const QList<Message> configs = retained(configTopic(rom(slot)));
        QCOMPARE(configs.size(), 1);
        QVERIFY(configs.first().retained);
        QJsonParseError error;
        const QJsonObject config = QJsonDocument::fromJson(configs.first().payload, &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, configs.first().payload.constData());
        QCOMPARE(config.value("name").toString(), QStringLiteral("Sensor %1").arg(slot + 1));
        QCOMPARE(config.value("unique_id").toString(), QStringLiteral("quorvel3d_") + rom(slot));
        QCOMPARE(config.value("state_topic").toString(), topic(slot, "temperature"));
        QCOMPARE(config.value("json_attributes_topic").toString(), topic(slot, "attributes"));
        QCOMPARE(config.value("availability_topic").toString(), Base + QStringLiteral("/status"));
        QCOMPARE(config.value("payload_available").toString(), QStringLiteral("online"));
        QCOMPARE(config.value("payload_not_available").toString(), QStringLiteral("offline"));
        QCOMPARE(config.value("device_class").toString(), QStringLiteral("temperature"));
        QCOMPARE(config.value("state_class").toString(), QStringLiteral("measurement"));
        QCOMPARE(config.value("unit_of_measurement").toString(), QStringLiteral("°C"));
        QCOMPARE(config.value("expire_after").toInt(), 300);
        const QJsonObject device = config.value("device").toObject();
        QCOMPARE(device.value("identifiers").toArray(), QJsonArray{QStringLiteral("quorvel3d_test_box")});
        QVERIFY(device.value("name").toString().contains(adapter()));
        QVERIFY(!device.value("model").toString().isEmpty());
        QVERIFY(!device.value("sw_version").toString().isEmpty());
        const QJsonObject origin = config.value("origin").toObject();
        QCOMPARE(origin.value("name").toString(), QStringLiteral("quorvel3d"));
        QCOMPARE(origin.value("sw_version"), device.value("sw_version"));
        const QList<Message> temperature = retained(topic(slot, "temperature"));
        QCOMPARE(temperature.size(), 1);
        QVERIFY(temperature.first().retained);
        bool number = false;
        temperature.first().payload.toDouble(&number);
        QVERIFY2(number && !temperature.first().payload.contains(','),
                 temperature.first().payload.constData());
    }
    // The power-on value is told as such, never as the temperature.
    QVERIFY(count(live.on(topic(4, "temperature")), [](const Message& m) { return m.payload == "85"; }) == 0);
    QVERIFY(count(live.on(topic(4, "attributes")),
                  [](const Message& m) { return m.payload.contains("\"result\":\"power_on_reset\""); }) >= 1);
    // Ours but no longer listed: cleared with its state; another program's: left alone.
    QVERIFY(count(live.on(configTopic(gone)), [](const Message& m) { return m.payload.isEmpty(); }) == 1);
    QVERIFY(late.on(configTopic(gone)).isEmpty());
    QVERIFY(late.on(Base + QLatin1Char('/') + gone + QStringLiteral("/temperature")).isEmpty());
    QCOMPARE(late.on(foreign).size(), 1);
    QCOMPARE(retained(otherConfig).size(), 1);
    QVERIFY(count(live.on(otherConfig), [](const Message& m) { return m.payload.isEmpty(); }) == 0);

    QTRY_VERIFY_WITH_TIMEOUT(service.metricsPort() > 0, 5000);
    const QByteArray text = metrics(service.metricsPort());
    QCOMPARE(sample(text, "quorvel_mqtt_connected"), 1.0);
    QVERIFY(sample(text, "quorvel_mqtt_messages_published_total").value_or(0) >= 3 * SensorCount);
    QCOMPARE(sample(text, "quorvel_mqtt_connection_failures_total"), 0.0);

    // Home Assistant restarted: every config again, not before the least delay.
    const qsizetype configsBefore = live.on(configTopic(rom(0))).size();
    QElapsedTimer sinceBirth;
    sinceBirth.start();
    QVERIFY(broker.publish(assistant.isEmpty() ? Prefix + QStringLiteral("/status") : assistant, "online"));
    QTRY_VERIFY_WITH_TIMEOUT(live.on(configTopic(rom(0))).size() > configsBefore, 20000);
    QVERIFY(sinceBirth.elapsed() >= 1000);
    QTRY_VERIFY_WITH_TIMEOUT(live.on(configTopic(rom(SensorCount - 1))).size() == configsBefore + 1, 20000);
    QCOMPARE(live.on(configTopic(rom(0))).size(), configsBefore + 1);

    // Offline on a clean stop by the service, on a kill by the broker's last will within the keep-alive.
    service.signal(ending);
    QVERIFY(live.waitFor(
        [&](const Message& m) {
            return m.topic == Base + QStringLiteral("/status") && m.payload == "offline";
        },
        30000));
    QCOMPARE(service.finish(), ending == SIGTERM);
    if (ending == SIGTERM)
        QCOMPARE(service.process.exitCode(), 0);
    QVERIFY2(!service.errors().contains(QLatin1String("cannot")), qPrintable(service.errors()));
}

void TestMqtt::brokerTroubleNeverStopsLogging_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("passwordFile");
    QTest::addColumn<QString>("caFile");
    QTest::addColumn<QString>("told"); // the start of the one message, after the broker's URL
    // Named, the broker is broker.test in a name service of the row's own: /etc/hosts a FIFO ("silent"), or
    // a file naming it ("127.0.0.1 broker.test") or not ("").
    QTest::addColumn<QString>("hosts");
    QTest::addColumn<int>("sweeps");
    QTest::newRow("no broker") << Kind::Open << QString() << QString() << ": Connection refused; retrying"
                               << QString() << 4;
    QTest::newRow("wrong password")
        << Kind::Login << "wrong-password" << QString()
        << " refused the login: Connection Refused: not authorised.; retrying every 60 s" << QString() << 4;
    QTest::newRow("TLS with a wrong CA") << Kind::Tls << "password"
                                         << "other.crt"
                                         << ": the broker's certificate is not trusted: unable to get local "
                                            "issuer certificate; retrying"
                                         << QString() << 4;
    QTest::newRow("TLS, certificate of another host")
        << Kind::TlsOtherName << "password"
        << "ca.crt"
        << ": the broker's certificate is not made out to 127.0.0.1; retrying" << QString() << 4;
    // Found by its name, connected to by its address, checked against the name.
    QTest::newRow("TLS by a name the certificate lacks")
        << Kind::Tls << "password"
        << "ca.crt"
        << ": the broker's certificate is not made out to broker.test; retrying"
        << "127.0.0.1 broker.test\n"
        << 4;
    QTest::newRow("name unknown") << Kind::Open << QString() << QString() << ": cannot look up broker.test: "
                                  << "" << 4;
    // Longer than the lookup's wait: the time-out is told, and the sweeps, the watchdog and the end go on
    // while the lookup's thread still waits.
    QTest::newRow("name service silent")
        << Kind::Open << QString() << QString()
        << ": the name service gave no address for broker.test within 10 s; retrying"
        << "silent" << 30;
}

// The sweeps go on at their pace and the log gets every record; one message says why, and nothing is
// published.
void TestMqtt::brokerTroubleNeverStopsLogging()
{
    QFETCH(Kind, kind);
    QFETCH(QString, passwordFile);
    QFETCH(QString, caFile);
    QFETCH(QString, told);
    QFETCH(QString, hosts);
    QFETCH(int, sweeps);
    BrokerProcess broker;
    QVERIFY(broker.start(kind));
    MqttSubscriber live;
    QVERIFY(live.start(broker));
    QStringList arguments =
        mqttArguments(broker, passwordFile.isEmpty() ? QString() : broker.file(passwordFile),
                      caFile.isEmpty() ? QString() : broker.file(caFile));
    QString url = broker.url();
    if (QTest::currentDataTag() == QLatin1String("no broker")) {
        url = QStringLiteral("mqtt://127.0.0.1:%1").arg(ScriptedServer::unusedPort());
        arguments[1] = url;
    }
    QStringList wrapper;
    if (!hosts.isNull()) {
        url.replace(QLatin1String("127.0.0.1"), QLatin1String("broker.test"));
        arguments[1] = url;
        const QString hostsFile = dir_->filePath(QStringLiteral("hosts"));
        QVERIFY(hosts == QLatin1String("silent")
                    ? ::mkfifo(QFile::encodeName(hostsFile).constData(), 0600) == 0
                    : writeFile(hostsFile, hosts.toUtf8()));
        wrapper = ownNameService(hostsFile, dir_->filePath(QStringLiteral("resolv.conf")));
        if (wrapper.isEmpty())
            QSKIP("unshare -rm is not permitted here (needs root or user namespaces)");
    }
    QVERIFY(sim_->setLatency(40)); // a sweep in about half a second, so the broker's answer comes first
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    NotifySocket manager(dir_->filePath(QStringLiteral("notify")));
    QVERIFY(manager.isListening());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), manager.path());
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("1000000"));
    Service service;
    service.start(QStringList{QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"), path,
                              QStringLiteral("--sweeps"), QString::number(sweeps)} +
                      arguments,
                  env, wrapper);
    QVERIFY(service.finish(120000));
    QCOMPARE(service.process.exitCode(), 0);
    QCOMPARE(records(readAll(path)).size(), sweeps);
    // Every half second a ping, the loop free: a few at the least, however busy the machine.
    QTRY_VERIFY2(manager.messages.count(QStringLiteral("WATCHDOG=1")) >= sweeps / 4 + 1,
                 qPrintable(manager.messages.join(QLatin1Char(' '))));
    // One message says why; at the end, how often it came back if it did.
    const QStringList lines = service.errors().split(QLatin1Char('\n')).filter(QStringLiteral("MQTT broker"));
    QVERIFY2(lines.size() == 1 ||
                 (lines.size() == 2 && lines.last().contains(QLatin1String(" more times: "))),
             qPrintable(service.errors()));
    const QString expected = QStringLiteral("quorvel3d: ") +
                             (kind == Kind::Login ? QStringLiteral("the MQTT broker at ")
                                                  : QStringLiteral("cannot reach the MQTT broker at ")) +
                             url + told;
    QVERIFY2(lines.first().startsWith(expected), qPrintable(lines.first()));
    QVERIFY(count(live.messages(), [](const Message& m) { return m.topic.startsWith(Base); }) == 0);
}

void TestMqtt::brokerComesAndGoes_data()
{
    QTest::addColumn<bool>("paused"); // SIGSTOP rather than a stop and a start
    QTest::newRow("broker stopped and started again") << false;
    QTest::newRow("broker SIGSTOPped") << true;
}

// While the broker is gone or frozen the sweep keeps its pace; once it is back the service reconnects
// within the back-off and publishes the current state again.
void TestMqtt::brokerComesAndGoes()
{
    QFETCH(bool, paused);
    BrokerProcess broker;
    QVERIFY(broker.start(Kind::Open));
    QVERIFY(sim_->setLatency(20));
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    Service service;
    service.start(QStringList{QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"), path} +
                  mqttArguments(broker));
    QTRY_VERIFY_WITH_TIMEOUT(service.errors().contains(QLatin1String("connected to the MQTT broker")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(path) >= 1, 10000);

    const auto recordsIn = [&](int ms) {
        const qsizetype before = recordCount(path);
        QTest::qWait(ms);
        return recordCount(path) - before;
    };
    if (paused)
        broker.pause(true);
    else
        broker.stop();
    // Long enough for the keep-alive to give up on a frozen broker and for a connect that gets no answer;
    // the sweeps go on meanwhile (how fast is bench/run's business).
    QVERIFY2(recordsIn(9000) >= 1, qPrintable(service.errors()));
    if (paused)
        broker.pause(false);
    else
        QVERIFY(broker.restart());
    MqttSubscriber late;
    QVERIFY(late.start(broker));
    // The back-off has reached at most 8 s by now; the state comes with the configs.
    QVERIFY2(
        late.waitFor([](const Message& m) { return m.topic.endsWith(QLatin1String("/temperature")); }, 20000),
        qPrintable(service.errors()));
    QTRY_VERIFY_WITH_TIMEOUT(!late.on(configTopic(rom(SensorCount - 1))).isEmpty(), 20000);
    // The old connection's will may come late, once the broker notices it dead: "online" is said again.
    QTRY_COMPARE_WITH_TIMEOUT(late.on(Base + QStringLiteral("/status")).last().payload, QByteArray("online"),
                              20000);
    service.signal(SIGTERM);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
    QCOMPARE(service.errors().count(QLatin1String("lost the connection to the MQTT broker")), 1);
    QCOMPARE(service.errors().count(QLatin1String("connected to the MQTT broker")), 2);
}

void TestMqtt::connectionsThatDoNotHold_data()
{
    QTest::addColumn<FlakyProxy::Mode>("mode");
    QTest::addColumn<QString>("told");         // after the broker's URL
    QTest::addColumn<int>("leastConnections"); // in the 20 s the sweeps take at the least
    // A CONNACK once restarted the back-off: a connection every 1.2 s, each told.
    QTest::newRow("dropped 0.2 s after each connect")
        << FlakyProxy::Mode::Drop << ": the broker closed the connection; retrying" << 3;
    // Once told as the library's "Unknown error.".
    QTest::newRow("mute after the connect")
        << FlakyProxy::Mode::Mute << ": the broker did not answer within the keep-alive (5 s); retrying" << 1;
}

// The sweeps go on; the trouble is told once in words a person can act on.
void TestMqtt::connectionsThatDoNotHold()
{
    QFETCH(FlakyProxy::Mode, mode);
    QFETCH(QString, told);
    QFETCH(int, leastConnections);
    BrokerProcess broker;
    QVERIFY(broker.start(Kind::Open));
    FlakyProxy proxy(mode, broker.port());
    QVERIFY(proxy.listen());
    const QString url = QStringLiteral("mqtt://127.0.0.1:%1").arg(proxy.port());
    QStringList arguments = mqttArguments(broker);
    arguments[1] = url;
    QVERIFY(sim_->setLatency(40)); // a sweep in about half a second: 40 of them take 20 s at the least
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    QElapsedTimer run;
    run.start();
    Service service;
    service.start(QStringList{QStringLiteral("--adapter"), adapter(), QStringLiteral("--log"), path,
                              QStringLiteral("--sweeps"), QStringLiteral("40")} +
                  arguments);
    QVERIFY(service.finish(120000)); // in the event loop, where the proxy works
    QCOMPARE(service.process.exitCode(), 0);
    QCOMPARE(records(readAll(path)).size(), 40);
    // The waits double from 1 s: in t seconds at most 2 + log2(1 + t) connections, however long the run.
    const int most = 2 + int(std::log2(1.0 + double(run.elapsed()) / 1000));
    QVERIFY2(
        proxy.connections() >= leastConnections && proxy.connections() <= most,
        qPrintable(QStringLiteral("%1 connections in %2 ms").arg(proxy.connections()).arg(run.elapsed())));
    const QStringList lost =
        service.errors().split(QLatin1Char('\n')).filter(QStringLiteral("lost the connection"));
    QCOMPARE(lost.size(), 1);
    QVERIFY2(lost.first().endsWith(url + told), qPrintable(lost.first()));
    if (proxy.connections() >= 3)
        QVERIFY2(service.errors().contains(QLatin1String(" more times: ")), qPrintable(service.errors()));
    QVERIFY2(service.errors().count(QLatin1String("connected to the MQTT broker")) <= 2,
             qPrintable(service.errors()));
}

// End to end: a sensor of the simulator warms past its high limit, and the page, the JSON, the metrics, a
// client of the broker and the alarm command all hear of it.
void TestMqtt::alarmReachesEveryOutput()
{
    BrokerProcess broker;
    QVERIFY(broker.start(Kind::Open));
    MqttSubscriber live;
    QVERIFY(live.start(broker));
    const QString toldFile = dir_->filePath(QStringLiteral("alarm.env"));
    const QString script = dir_->filePath(QStringLiteral("alarm"));
    // Written whole, then renamed, so that the test never reads half of it.
    QVERIFY(writeFile(script, "#!/bin/sh\nenv | grep '^QUORVEL_' > \"$1.part\" && mv \"$1.part\" \"$1\"\n"));
    QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString config = dir_->filePath(QStringLiteral("quorvel3d.yaml"));
    QVERIFY(writeFile(config, QStringLiteral("sources: [{name: freezer, address: \"%1\", log: \"%2\",\n"
                                             "  sensors: [{id: %3, name: Freezer, high: 30}]}]\n"
                                             "listen: 127.0.0.1:0\nalarm_command: [\"%4\", \"%5\"]\n"
                                             "mqtt: {url: \"%6\", topic: %7, keepalive: 5}\n")
                                  .arg(adapter(), dir_->filePath(QStringLiteral("freezer.log")), rom(0),
                                       script, toldFile, broker.url(), Base)
                                  .toUtf8()));
    // Sensor 1 drifts between 16 and 22 degrees; from there it warms an eighth of a degree a page, so the
    // broker hears it ok before it is high.
    QVERIFY(sim_->setLatency(100));
    QVERIFY(sim_->setFault(1, QStringLiteral("rise"), QStringLiteral("0.125")));
    Service service;
    service.start({QStringLiteral("--config"), config});

    const QString sensorTopic = Base + QStringLiteral("/freezer/") + rom(0) + QLatin1Char('/');
    QVERIFY2(
        live.waitFor(
            [&](const Message& m) { return m.topic == sensorTopic + "alarm" && m.payload == "high"; }, 60000),
        qPrintable(service.errors()));
    // It was ok before: the binary sensor went from off to on, its config announced first.
    QCOMPARE(live.on(sensorTopic + "alarm").first().payload, QByteArray("ok"));
    const QList<Message> configs = live.on(Prefix + "/binary_sensor/quorvel3d_" + rom(0) + "/config");
    QVERIFY(!configs.isEmpty() && configs.first().payload.contains("\"device_class\":\"problem\""));
    // Its attributes follow it, with the limit.
    QJsonObject attributes;
    QVERIFY(live.waitFor(
        [&](const Message& m) {
            attributes = QJsonDocument::fromJson(m.payload).object();
            return m.topic == sensorTopic + "alarm_attributes" && attributes.value("alarm") == "high";
        },
        10000));
    QCOMPARE(attributes.value("high").toDouble(), 30.0);

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(toldFile), 30000);
    QMap<QString, QString> told;
    for (const QString& line :
         QString::fromUtf8(readAll(toldFile)).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        told.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
    const QMap<QString, QString> expected{{"QUORVEL_SOURCE", "freezer"}, {"QUORVEL_SENSOR", "1"},
                                          {"QUORVEL_NAME", "Freezer"},   {"QUORVEL_ROM", rom(0)},
                                          {"QUORVEL_ALARM", "high"},     {"QUORVEL_PREVIOUS", "ok"},
                                          {"QUORVEL_LIMIT", "30"}};
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QCOMPARE(told.value(it.key()), it.value());
    QVERIFY2(told.value("QUORVEL_VALUE").toDouble() > 30, qPrintable(told.value("QUORVEL_VALUE")));
    QVERIFY(QDateTime::fromString(told.value("QUORVEL_SINCE"), Qt::ISODate).isValid());

    // The listener renders at most every 0.5 s: what it shows may be that old.
    const int port = service.metricsPort();
    QVERIFY2(port > 0, qPrintable(service.errors()));
    const QByteArray alarmSample = "quorvel_sensor_alarm{" +
                                   sensorLabels(0, rom(0).toLatin1(), "Freezer", "freezer") +
                                   ",state=\"high\"}";
    QTRY_COMPARE_WITH_TIMEOUT(sample(metrics(port), alarmSample), std::optional(1.0), 10000);
    const QJsonValue sensor =
        QJsonDocument::fromJson(fetch(port, QStringLiteral("/readings.json")))["sources"][0]["sensors"][0];
    QCOMPARE(sensor["alarm"].toString() + ' ' + sensor["high"].toVariant().toString(),
             QStringLiteral("high 30"));
    QVERIFY(!sensor["alarm_since"].toString().isEmpty());
    const QByteArray page = fetch(port, QStringLiteral("/"));
    QVERIFY2(page.contains("data-key=\"alarms\"") && page.contains("Freezer</a>: high since"),
             page.constData());

    service.signal(SIGTERM);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
