// The MQTT publisher's figures: the time from a read to its message at a subscriber, the CPU and memory
// quorvel3d adds by publishing at the adapter's pace, and its memory at full speed with the broker down or
// frozen. Debian's broker runs on loopback ports of its own; everything stays on 127.0.0.1.

#include "brokerprocess.h"
#include "simulatorprocess.h"

#include "acquisition/acquisitioncycle.h"
#include "service/app/serviceoptions.h"
#include "service/outputs/mqtt/mqttpublisher.h"
#include "service/state/statestore.h"
#include "sources/adapter/adapterkind.h"
#include "sources/adapter/adapterreader.h"
#include "sources/adapter/webpagecomponent.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

using namespace quorvel;
using Clock = std::chrono::steady_clock;

namespace {

const QString Base = QStringLiteral("bench/box");

void waitMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The arrival time of every temperature message (one after every good read), per topic, taken on
// libmosquitto's own thread.
struct Arrivals {
    std::mutex mutex;
    std::map<std::string, std::vector<Clock::time_point>> byTopic;

    static void onMessage(mosquitto*, void* self, const mosquitto_message* message)
    {
        const auto now = Clock::now();
        auto* arrivals = static_cast<Arrivals*>(self);
        const std::lock_guard lock(arrivals->mutex);
        arrivals->byTopic[message->topic].push_back(now);
    }
};

// Figure 1: reads paced by the simulator's latency, so each message is timed on its own, not queued.
bool latency(int reads, int latencyMs)
{
    SimulatorProcess sim;
    testing::BrokerProcess broker;
    if (!sim.start() || !sim.setLatency(latencyMs) || !broker.start(testing::BrokerProcess::Kind::Open))
        return false;
    Arrivals arrivals;
    mosquitto* subscriber = mosquitto_new(nullptr, true, &arrivals);
    mosquitto_message_callback_set(subscriber, &Arrivals::onMessage);
    if (mosquitto_connect(subscriber, "127.0.0.1", broker.openPort(), 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_subscribe(subscriber, nullptr,
                            (Base + QStringLiteral("/+/temperature")).toUtf8().constData(),
                            0) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(subscriber) != MOSQ_ERR_SUCCESS)
        return false;

    service::MqttOptions options = *service::parseMqttUrl(broker.url());
    options.baseTopic = Base;
    const QString adapter = QStringLiteral("127.0.0.1:%1").arg(sim.port());
    acquisition::WebPageComponent page;
    acquisition::AdapterReader reader(page);
    acquisition::AcquisitionCycle cycle(reader, nullptr);
    const QString source = QStringLiteral("adapter");
    service::StateStore store(300, false);
    store.addSource(source, acquisition::adapterKind(), adapter, acquisition::builtInSensors(), {});
    service::MqttPublisher publisher(options, store, QStringLiteral("bench"), false, [](const QString&) {});
    publisher.addSource(source);
    std::vector<std::vector<Clock::time_point>> readAt(acquisition::SensorCount);
    int total = 0;
    QEventLoop loop;
    // Timed before the publisher hears the read: this connection is made first.
    QObject::connect(&cycle, &acquisition::AcquisitionCycle::sensorRead, &loop,
                     [&](const acquisition::SensorReading& reading) {
                         readAt[std::size_t(reading.slot)].push_back(Clock::now());
                         if (++total == reads)
                             cycle.stop();
                     });
    QObject::connect(&cycle, &acquisition::AcquisitionCycle::sensorRead, &store,
                     [&](const acquisition::SensorReading& reading) { store.onRead(source, reading); });
    QObject::connect(&store, &service::StateStore::sensorChanged, &publisher,
                     &service::MqttPublisher::onRead);
    QObject::connect(&publisher.client(), &service::MqttClient::connected, &loop, &QEventLoop::quit);
    publisher.start();
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    if (!publisher.client().isConnected())
        return false;
    waitMs(1000); // the configs and the subscription settle
    cycle.start(adapter);
    while (total < reads)
        waitMs(100);
    waitMs(1000);
    mosquitto_disconnect(subscriber);
    mosquitto_loop_stop(subscriber, false);
    mosquitto_destroy(subscriber);

    std::vector<double> ms;
    const std::lock_guard lock(arrivals.mutex);
    for (int slot = 0; slot < acquisition::SensorCount; ++slot) {
        const QString rom = acquisition::builtInRomCodes().at(slot);
        const auto& arrived =
            arrivals.byTopic[(Base + u'/' + rom + QStringLiteral("/temperature")).toStdString()];
        const auto& read = readAt[std::size_t(slot)];
        for (std::size_t k = 0; k < std::min(arrived.size(), read.size()); ++k)
            ms.push_back(std::chrono::duration<double, std::milli>(arrived[k] - read[k]).count());
    }
    std::sort(ms.begin(), ms.end());
    if (ms.empty())
        return false;
    std::printf("mqtt_latency reads=%d messages=%zu median_ms=%.3f max_ms=%.3f\n", reads, ms.size(),
                ms[ms.size() / 2], ms.back());
    return true;
}

// CPU time of all threads in nanoseconds (the scheduler's count, finer than clock ticks).
double cpuNs(qint64 pid)
{
    double total = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks + u'/' + task + QStringLiteral("/schedstat"));
        if (file.open(QIODevice::ReadOnly))
            total += file.readAll().split(' ').value(0).toDouble();
    }
    return total;
}

long statusKb(qint64 pid, const char* field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith(QByteArray(field) + ':'))
            return line.mid(qsizetype(std::strlen(field)) + 1).trimmed().split(' ').value(0).toLong();
    return -1;
}

QProcess* startService(const QString& service, const QStringList& arguments, QObject* parent)
{
    auto* process = new QProcess(parent);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(service, arguments);
    return process->waitForStarted(5000) ? process : nullptr;
}

// Figure 2: the same service with and without --mqtt, side by side, at 750 ms a page.
bool atThePace(const QString& service, int seconds, const QString& folder)
{
    SimulatorProcess plainSim;
    SimulatorProcess mqttSim;
    testing::BrokerProcess broker;
    if (!plainSim.start() || !mqttSim.start() || !plainSim.setLatency(750) || !mqttSim.setLatency(750) ||
        !broker.start(testing::BrokerProcess::Kind::Open))
        return false;
    QObject owner;
    const auto common = [&](const SimulatorProcess& sim, const QString& log) {
        return QStringList{QStringLiteral("--adapter"), QStringLiteral("127.0.0.1:%1").arg(sim.port()),
                           QStringLiteral("--log"), folder + u'/' + log};
    };
    QProcess* plain = startService(service, common(plainSim, QStringLiteral("plain.log")), &owner);
    QProcess* mqtt = startService(
        service,
        common(mqttSim, QStringLiteral("mqtt.log")) +
            QStringList{QStringLiteral("--mqtt"), broker.url(), QStringLiteral("--mqtt-topic"), Base},
        &owner);
    if (!plain || !mqtt)
        return false;
    waitMs(3000); // start-up and the first configs left out
    const double plainStart = cpuNs(plain->processId());
    const double mqttStart = cpuNs(mqtt->processId());
    waitMs(seconds * 1000);
    const double plainCpu = cpuNs(plain->processId()) - plainStart;
    const double mqttCpu = cpuNs(mqtt->processId()) - mqttStart;
    const double wallNs = double(seconds) * 1e9;
    std::printf("mqtt_pace seconds=%d plain_cpu_percent=%.4f mqtt_cpu_percent=%.4f added_cpu_percent=%.4f "
                "plain_rss_kb=%ld mqtt_rss_kb=%ld plain_hwm_kb=%ld mqtt_hwm_kb=%ld\n",
                seconds, 100 * plainCpu / wallNs, 100 * mqttCpu / wallNs, 100 * (mqttCpu - plainCpu) / wallNs,
                statusKb(plain->processId(), "VmRSS"), statusKb(mqtt->processId(), "VmRSS"),
                statusKb(plain->processId(), "VmHWM"), statusKb(mqtt->processId(), "VmHWM"));
    plain->terminate();
    mqtt->terminate();
    plain->waitForFinished(5000);
    mqtt->waitForFinished(5000);
    return true;
}

qint64 lines(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
}

// Figure 3: an hour's reads at the adapter's pace (4,800) and ten times that at full speed, the broker
// refusing the connection or frozen after taking it: the resident memory must stay where it was.
bool brokerDown(const QString& service, int hours, const QString& folder, bool frozen)
{
    SimulatorProcess sim;
    testing::BrokerProcess broker;
    if (!sim.start() || !sim.setLatency(0) || !broker.start(testing::BrokerProcess::Kind::Open))
        return false;
    QString url = broker.url();
    if (!frozen) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        url = QStringLiteral("mqtt://127.0.0.1:%1").arg(probe.serverPort());
    }
    const QString log = folder + (frozen ? QStringLiteral("/frozen.log") : QStringLiteral("/down.log"));
    QObject owner;
    QProcess* process = startService(
        service,
        {QStringLiteral("--adapter"), QStringLiteral("127.0.0.1:%1").arg(sim.port()), QStringLiteral("--log"),
         log, QStringLiteral("--mqtt"), url, QStringLiteral("--mqtt-topic"), Base},
        &owner);
    if (!process)
        return false;
    const qint64 hourSweeps = 4800 / acquisition::SensorCount;
    if (frozen) {
        while (lines(log) < 20)
            waitMs(50);
        broker.pause(true);
    }
    const qint64 from = lines(log);
    while (lines(log) < from + hourSweeps)
        waitMs(20);
    const long afterHour = statusKb(process->processId(), "VmRSS");
    while (lines(log) < from + hours * hourSweeps)
        waitMs(50);
    const long afterAll = statusKb(process->processId(), "VmRSS");
    std::printf("%s hours=%d rss_after_1h_kb=%ld rss_after_%dh_kb=%ld hwm_kb=%ld\n",
                frozen ? "frozen" : "down", hours, afterHour, hours, afterAll,
                statusKb(process->processId(), "VmHWM"));
    broker.pause(false);
    process->terminate();
    process->waitForFinished(5000);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption service({QStringLiteral("service")}, QStringLiteral("quorvel3d"),
                                     QStringLiteral("path"));
    const QCommandLineOption reads({QStringLiteral("reads")}, QStringLiteral("reads timed"),
                                   QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption seconds({QStringLiteral("seconds")}, QStringLiteral("span at 750 ms a page"),
                                     QStringLiteral("s"), QStringLiteral("60"));
    const QCommandLineOption hours({QStringLiteral("hours")},
                                   QStringLiteral("hour-equivalents at full speed"), QStringLiteral("n"),
                                   QStringLiteral("10"));
    parser.addOptions({service, reads, seconds, hours});
    parser.process(app);
    if (!testing::BrokerProcess::available()) {
        std::fprintf(stderr, "bench_mqtt: mosquitto, its clients or openssl are missing\n");
        return 77;
    }
    mosquitto_lib_init();
    QTemporaryDir folder;
    const bool ok = latency(parser.value(reads).toInt(), 10) &&
                    atThePace(parser.value(service), parser.value(seconds).toInt(), folder.path()) &&
                    brokerDown(parser.value(service), parser.value(hours).toInt(), folder.path(), false) &&
                    brokerDown(parser.value(service), parser.value(hours).toInt(), folder.path(), true);
    return ok ? 0 : 1;
}
