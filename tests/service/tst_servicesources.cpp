#include "brokerprocess.h"
#include "programfixture.h"
#include "scratchdir.h"
#include "servicefixture.h"
#include "serviceprocess.h"
#include "simulatorprocess.h"

#include "logfile/logrecorder.h"
#include "logfile/logsession.h"
#include "service/app/serviceoptions.h"
#include "service/app/serviceprogram.h"
#include "service/app/sourcerunner.h"
#include "service/history/historystore.h"
#include "service/outputs/web/statusjson.h"
#include "service/outputs/web/statuspage.h"
#include "service/state/statestore.h"
#include "sources/adapter/webpagecomponent.h"
#include "sources/w1/w1kind.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace quorvel;
using namespace quorvel::acquisition;
using namespace quorvel::testing;

namespace {

// A file's configuration of one source on the fake pages, polling one sensor.
service::ServiceConfig cellarFile(const QString& file)
{
    service::ServiceConfig config;
    service::SourceConfig source;
    source.name = QStringLiteral("cellar");
    source.address = Adapter;
    source.sensors = {{romOf(0), {}}};
    config.sources.push_back(source);
    config.file = file;
    return config;
}

} // namespace

class TestServiceSources : public QObject {
    Q_OBJECT

private slots:
    void init() { dir_ = scratchDir(QStringLiteral("servicesources")); }
    void threeSourcesRunSideBySide();
    void reloadTouchesOnlyWhatChanged();
    void reloadAppliesTheSharedKeys();
    void growingWorkIsOffTheLoop_data();
    void growingWorkIsOffTheLoop();
    void sourceFindsItsSensors_data();
    void sourceFindsItsSensors();
    void storeKeepsTheDayAndFollowsReloads();
    void runnerHandsOnChecksAndResolutions_data();
    void runnerHandsOnChecksAndResolutions();

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

// One source that answers, one that never does and one that fails, each against a simulator of its own:
// the healthy one keeps its pace while the silent one waits for its first answer, each log has its own
// lines, and the metrics, the JSON and the page carry all three.
void TestServiceSources::threeSourcesRunSideBySide()
{
    struct Source {
        const char* name;
        QStringList simulatorArguments;
        QList<ListedSensor> sensors; // empty: the built-in thirteen
    };
    const QList<Source> sources{
        {"healthy", {}, {}},
        {"silent", {"--fault", "all:silent"}, {{"3000000123456728", "Cellar"}, {"BC0000000ABCDE28", {}}}},
        {"failing", {"--fault", "all:status500"}, {{"0100000000000128", "Attic"}}},
    };
    service::ServiceConfig config;
    config.listen = service::ListenEndpoint{QHostAddress::LocalHost, 0};
    std::vector<std::unique_ptr<SimulatorProcess>> simulators;
    for (const Source& source : sources) {
        simulators.push_back(std::make_unique<SimulatorProcess>());
        QVERIFY(simulators.back()->start(source.simulatorArguments));
        service::SourceConfig added;
        added.name = QLatin1String(source.name);
        added.address = QStringLiteral("127.0.0.1:%1").arg(simulators.back()->port());
        added.logPath = dir_->filePath(added.name + QStringLiteral(".log"));
        added.sensors = source.sensors;
        config.sources.push_back(added);
    }
    service::ServiceProgram program(
        config, [](const service::SourceConfig&) { return std::make_unique<WebPageComponent>(); },
        [](const QString&) {});
    QCOMPARE(program.start(), std::nullopt);
    const auto sweepsOf = [&program](const char* name) {
        return program.store().source(QLatin1String(name))->sweeps;
    };
    // Well before the silent source's first request times out (10 s), under the sanitizers too.
    QTRY_VERIFY_WITH_TIMEOUT(sweepsOf("healthy") >= 3 && sweepsOf("failing") >= 3, 9000);
    QCOMPARE(sweepsOf("silent"), quint64(0));

    const QByteArray metrics = program.metrics().exposition();
    const QJsonArray json = QJsonDocument::fromJson(service::statuspage::readingsJson(
                                                        program.store(), QDateTime::currentDateTime()))
                                .object()
                                .value(u"sources")
                                .toArray();
    const QString page =
        QString::fromUtf8(service::statuspage::html(program.store(), QDateTime::currentDateTime()));
    QCOMPARE(json.size(), 3);
    program.stop();
    for (qsizetype i = 0; i < sources.size(); ++i) {
        const QByteArray name = sources[i].name;
        const int sensors = sources[i].sensors.isEmpty() ? SensorCount : int(sources[i].sensors.size());
        const QByteArray log = readAll(dir_->filePath(QString::fromLatin1(name) + QStringLiteral(".log")));
        QVERIFY2(allWhole(log), name);
        for (const QByteArray& line : records(log))
            QCOMPARE(parseAnyLogRecord(QString::fromLocal8Bit(line), QLocale())->readings.size(), sensors);
        QCOMPARE(records(log).isEmpty(), name == "silent");
        QCOMPARE(json.at(i).toObject().value(u"name").toString(), QString::fromLatin1(name));
        QCOMPARE(json.at(i).toObject().value(u"sensors").toArray().size(), sensors);
        QVERIFY2(page.contains(QStringLiteral("<section data-source=\"%1\">").arg(QLatin1String(name))),
                 name);
        QVERIFY2(sample(metrics, "quorvel_sweeps_total{" + sourceLabels(name) + '}'), name);
        QVERIFY2(sample(metrics,
                        "quorvel_sensor_consecutive_failures{" +
                            sensorLabels(0,
                                         sources[i].sensors.isEmpty()
                                             ? QByteArray(RomCodes[0].data(), qsizetype(RomCodes[0].size()))
                                             : sources[i].sensors[0].romCode.toLatin1(),
                                         sources[i].sensors.isEmpty() ? QByteArray()
                                                                      : sources[i].sensors[0].name.toUtf8(),
                                         name) +
                            '}'),
                 name);
    }
}

// A reload runs the new configuration: a source that did not change goes on with its counters, a removed
// one stops and leaves the store, a changed one starts again from nothing, an added one starts.
// With a broker, Home Assistant gets one device per source, and a reload takes a removed one's away.
void TestServiceSources::reloadTouchesOnlyWhatChanged()
{
    service::ServiceConfig config;
    for (const char* name : {"kept", "removed", "changed"}) {
        service::SourceConfig source;
        source.name = QLatin1String(name);
        source.address = Adapter;
        source.sensors = {{romOf(int(config.sources.size())), {}}};
        config.sources.push_back(source);
    }
    config.file = dir_->filePath(QStringLiteral("sources.yaml"));
    BrokerProcess broker;
    MqttSubscriber live;
    const bool mqtt = BrokerProcess::available();
    if (mqtt) {
        QVERIFY(broker.start(BrokerProcess::Kind::Open));
        QVERIFY(live.start(broker));
        config.mqtt = service::parseMqttUrl(broker.url());
        config.mqtt->baseTopic = QStringLiteral("q/box");
    }
    // The retained config of a sensor: its device and state topic; empty once cleared.
    const auto announced = [&live](int slot) -> std::pair<QString, QString> {
        const QList<MqttSubscriber::Message> configs =
            live.on("homeassistant/sensor/quorvel3d_" + romOf(slot) + "/config");
        if (configs.isEmpty() || configs.last().payload.isEmpty())
            return {};
        const QJsonObject config = QJsonDocument::fromJson(configs.last().payload).object();
        return {config["device"]["identifiers"][0].toString(), config["state_topic"].toString()};
    };
    Program service(config);
    QCOMPARE(service.program->start(), std::nullopt);
    if (mqtt) {
        for (const auto& [slot, name] : {std::pair{0, "kept"}, {1, "removed"}, {2, "changed"}})
            QTRY_COMPARE_WITH_TIMEOUT(
                announced(slot),
                std::pair(QStringLiteral("quorvel3d_q_box_") + name,
                          QStringLiteral("q/box/%1/%2/temperature").arg(name, romOf(slot))),
                20000);
    }
    const service::StateStore& store = service.program->store();
    QTRY_VERIFY(store.source(QStringLiteral("changed")) &&
                store.source(QStringLiteral("changed"))->sweeps >= 3);

    service::ServiceConfig next = config;
    next.sources.erase(next.sources.begin() + 1);
    next.sources[1].address = QStringLiteral("127.0.0.1:8081");
    next.sources.push_back(config.sources[1]);
    next.sources.back().name = QStringLiteral("added");
    const quint64 keptBefore = store.source(QStringLiteral("kept"))->sweeps;
    // Counted in the final line with those still running.
    quint64 sweeps =
        store.source(QStringLiteral("removed"))->sweeps + store.source(QStringLiteral("changed"))->sweeps;
    service.program->apply(next);

    QCOMPARE(store.sources().size(), std::size_t(3));
    QVERIFY(!store.source(QStringLiteral("removed")));
    QVERIFY(store.source(QStringLiteral("kept"))->sweeps >= keptBefore);
    QCOMPARE(store.source(QStringLiteral("changed"))->sweeps, quint64(0));
    QCOMPARE(store.source(QStringLiteral("changed"))->address, QStringLiteral("127.0.0.1:8081"));
    QTRY_VERIFY(store.source(QStringLiteral("added"))->sweeps >= 1 &&
                store.source(QStringLiteral("changed"))->sweeps >= 1);
    // It goes on: it may be in the middle of a sweep as long as theirs.
    QTRY_VERIFY(store.source(QStringLiteral("kept"))->sweeps > keptBefore);
    QCOMPARE(service.messages.filter(QStringLiteral("reload:")).size(), 4); // removed, changed twice, added
    if (mqtt) {
        // The removed source's device is gone with its state; its sensor is the added one's now.
        QTRY_COMPARE_WITH_TIMEOUT(
            announced(1),
            std::pair(QStringLiteral("quorvel3d_q_box_added"), "q/box/added/" + romOf(1) + "/temperature"),
            20000);
        const QString removedState = "q/box/removed/" + romOf(1) + "/temperature";
        QTRY_VERIFY_WITH_TIMEOUT(
            !live.on(removedState).isEmpty() && live.on(removedState).last().payload.isEmpty(), 20000);
        QCOMPARE(announced(2).first, QStringLiteral("quorvel3d_q_box_changed"));
        QCOMPARE(live.on(QStringLiteral("q/box/status")).last().payload, QByteArray("online"));
    }
    service.program->stop();
    for (const auto& source : store.sources())
        sweeps += source->sweeps;
    QVERIFY2(service.messages.last().startsWith(QStringLiteral("stopped: %1 sweeps, ").arg(sweeps)),
             qPrintable(service.messages.last()));
}

// A reload applies the keys all sources share, each told: the stale time and the alarm command at once, the
// listener opened, taken again on its own port and closed, the broker connected anew; the locale waits.
void TestServiceSources::reloadAppliesTheSharedKeys()
{
    service::ServiceConfig config = cellarFile(dir_->filePath(QStringLiteral("sources.yaml")));
    Program service(config);
    QCOMPARE(service.program->start(), std::nullopt);
    const auto told = [&service](const QString& text) {
        return !service.messages.filter(QStringLiteral("reload: ") + text).isEmpty();
    };

    service::ServiceConfig next = config;
    next.staleAfterSeconds = 60;
    next.alarmCommand = {QStringLiteral("true")};
    next.listen = service::ListenEndpoint{QHostAddress::LocalHost, 0};
    next.locale = QLocale(QLocale::German, QLocale::Germany);
    BrokerProcess broker;
    const bool mqtt = BrokerProcess::available();
    MqttSubscriber live;
    if (mqtt) {
        QVERIFY(broker.start(BrokerProcess::Kind::Open));
        QVERIFY(live.start(broker));
        next.mqtt = service::parseMqttUrl(broker.url());
        next.mqtt->baseTopic = QStringLiteral("q/reloaded");
    }
    service.program->apply(next);
    QCOMPARE(service.program->store().staleAfterSeconds(), 60);
    const quint16 port = service.program->metricsPort();
    QVERIFY(port > 0);
    QCOMPARE(httpGet(port, QStringLiteral("/metrics")).first, 200);
    QVERIFY2(told("stale after 60 s") && told("alarm command true") &&
                 told(QStringLiteral("the page and the metrics on http://127.0.0.1:%1/").arg(port)) &&
                 told("locale changes at the next start"),
             qPrintable(service.messages.join(u'\n')));
    if (mqtt)
        QTRY_VERIFY_WITH_TIMEOUT(!live.on(QStringLiteral("q/reloaded/status")).isEmpty() &&
                                     live.on(QStringLiteral("q/reloaded/status")).last().payload == "online",
                                 20000);

    // The port it has, asked for by number: let go first, then taken again.
    next.listen->port = port;
    service.program->apply(next);
    QCOMPARE(service.program->metricsPort(), port);
    QCOMPARE(httpGet(port, QStringLiteral("/metrics")).first, 200);
    next.listen.reset();
    next.mqtt.reset();
    service.program->apply(next);
    QCOMPARE(service.program->metricsPort(), quint16(0));
    QVERIFY(told("the page and the metrics are off") && (!mqtt || told("MQTT off")));
    service.program->stop();
}

void TestServiceSources::growingWorkIsOffTheLoop_data()
{
    QTest::addColumn<int>("reloads"); // asked before the loop runs again
    QTest::addColumn<bool>("stopAtOnce");
    QTest::newRow("one reload") << 1 << false;
    QTest::newRow("three while it reads: one more read") << 3 << false;
    QTest::newRow("stopped while they read") << 1 << true;
}

// A start reads the day's history from the log on a thread, and a reload the file: the source sweeps
// meanwhile, its points stay beside the log's in time order, and the file is applied once read. Reloads
// asked meanwhile come to one more read; a stop drops both.
void TestServiceSources::growingWorkIsOffTheLoop()
{
    QFETCH(int, reloads);
    QFETCH(bool, stopAtOnce);
    LogSession session;
    QVERIFY(!session.open(dir_->filePath(QStringLiteral("a.log"))));
    QList<float> expected;
    for (int m = 60; m >= 1; --m) {
        const QDateTime when = QDateTime::currentDateTime().addSecs(-60 * m);
        const SensorReadings readings(SensorCount, float(m));
        LogRecorder(session, QLocale::c(), [when] { return when; }).writeRecord(readings);
        expected << float(m);
    }
    session.close();
    const QString file = dir_->filePath(QStringLiteral("sources.yaml"));
    const QByteArray one =
        "listen: 127.0.0.1:0\nlocale: C\nsources:\n  - name: a\n    address: 127.0.0.1\n    log: a.log\n";
    QVERIFY(writeFile(file, one));
    Program service(*service::readServiceConfig(file).config);
    QCOMPARE(service.program->start(), std::nullopt);
    QVERIFY(writeFile(file,
                      one + "  - name: b\n    address: 127.0.0.2\n    sensors: [{id: 3000000123456728}]\n"));
    for (int i = 0; i < reloads; ++i)
        service.program->reload();
    const service::SourceState& a = *service.program->store().source(QStringLiteral("a"));
    const auto values = [&a] {
        QList<float> out;
        for (const auto& point : a.history.points(0, QDateTime::currentDateTime()))
            out << point.value;
        return out;
    };
    const auto applied = [&service] { return service.messages.filter(QStringLiteral("reloaded ")).size(); };
    QVERIFY(values().isEmpty() &&
            !service.program->source(QStringLiteral("b"))); // the loop has not run since
    if (stopAtOnce) {
        service.program->stop();
        QTest::qWait(100);
        QVERIFY(values().isEmpty());
        service.program.reset(); // waits for the file's read
        QCOMPARE(applied(), 0);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(values().size() > 60 && a.sweeps >= 2 && applied() == std::min(reloads, 2),
                             20000);
    QTest::qWait(100);
    QCOMPARE(applied(), std::min(reloads, 2));
    QVERIFY(service.program->source(QStringLiteral("b")));
    const QList<float> live = values().mid(60);
    QCOMPARE(values().mid(0, 60), expected);
    QCOMPARE(live.count(20.5f), live.size());
}

void TestServiceSources::sourceFindsItsSensors_data()
{
    QTest::addColumn<QStringList>("found");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QStringList>("foundLater"); // on refresh
    const QStringList two{romOf(0), romOf(1)};
    QTest::newRow("two found, the same two again") << two << "" << two;
    QTest::newRow("two found, then one unplugged") << two << "" << QStringList{romOf(1)};
    QTest::newRow("none shown, then two") << QStringList{} << "" << two;
    QTest::newRow("cannot list, then two") << QStringList{} << "Connection refused" << two;
    QStringList many; // more than a list may hold: the first are polled, the rest told
    for (int i = 0; i < 150; ++i)
        many << QStringLiteral("%1").arg(i, 14, 10, QLatin1Char('0')) + QStringLiteral("28");
    QTest::newRow("150 found, twice") << many << "" << many;
}

// A bus or a server without a list of sensors polls what it finds, and what it finds after a refresh; one
// that cannot list them says so once, counts as unreachable, and polls once it can.
void TestServiceSources::sourceFindsItsSensors()
{
    QFETCH(QStringList, found);
    QFETCH(QString, failure);
    QFETCH(QStringList, foundLater);
    service::StateStore store(300, false);
    auto owned = std::make_unique<FakeReader>();
    FakeReader& reader = *owned;
    reader.found = found;
    if (!failure.isEmpty())
        reader.discoveryFailure = failure;
    service::SourceConfig config;
    config.name = QStringLiteral("bus");
    config.kind = QLatin1String(acquisition::w1Kind().name);
    config.address = QStringLiteral("/sys/bus/w1/devices");
    QStringList messages;
    service::SourceRunner runner(config, {std::move(owned)}, store, QLocale::c(),
                                 [&messages](const QString& m) { messages << m; });
    QSignalSpy changed(&runner, &service::SourceRunner::sensorsChanged);
    QSignalSpy sweeps(&store, &service::StateStore::sweepTaken);
    runner.cycle().setNoAnswerPauseMs(0);
    runner.start();
    const auto sensorsOf = [&store] {
        QStringList roms;
        for (const auto& sensor : store.source(QStringLiteral("bus"))->sensors)
            roms << sensor.romCode;
        return roms;
    };
    if (found.isEmpty()) {
        QTRY_COMPARE(messages.size(), 1);
        QVERIFY2(
            messages.first().startsWith(QStringLiteral("source bus: cannot list the sensors of the bus at "
                                                       "/sys/bus/w1/devices: ")),
            qPrintable(messages.first()));
        QVERIFY(!store.source(QStringLiteral("bus"))->reachable());
        QCOMPARE(changed.size(), 0);
        reader.discoveryFailure.reset();
    } else {
        QTRY_VERIFY(sweeps.size() >= 2);
        const QStringList polled = found.mid(0, MaxListedSensors);
        const QString count = polled == found ? "2 sensors" : "first 100 of the 150 sensors";
        // Told as the bus names them, as a person finds them in its folder.
        QStringList folders;
        for (const QString& rom : polled)
            folders << acquisition::linuxId(rom);
        QCOMPARE(messages,
                 QStringList{"source bus: polls the " + count + " the bus shows: " + folders.join(", ")});
        QCOMPARE(sensorsOf(), polled);
        QCOMPARE(changed.size(), 1);
    }
    reader.found = foundLater;
    runner.refresh();
    QTRY_COMPARE(reader.discoveries, 2);
    const int sweepsBefore = int(sweeps.size());
    QTRY_VERIFY(sweeps.size() >= sweepsBefore + 2);
    QCOMPARE(sensorsOf(), foundLater.mid(0, MaxListedSensors));
    QCOMPARE(changed.size(), found == foundLater ? 1 : int(found.isEmpty() ? 1 : 2));
    QVERIFY(store.source(QStringLiteral("bus"))->reachable());
    // Each new set of sensors is told, and the failure once.
    QCOMPARE(messages.size(),
             (found.isEmpty() ? 1 : 0) + (found.isEmpty() ? 1 : 1 + int(found != foundLater)));
    QVERIFY2(messages.last().startsWith(QStringLiteral("source bus: polls the ")),
             qPrintable(messages.last()));
    runner.stop();
}

// A reload opens the store its block names, keeps the running one when the new file cannot be the store, and
// closes it for none; a start fills the day's chart from the store before its first sweep.
void TestServiceSources::storeKeepsTheDayAndFollowsReloads()
{
    const QString text = dir_->filePath(QStringLiteral("text.sqlite"));
    QVERIFY(writeFile(text, "not a store\n"));
    service::ServiceConfig config = cellarFile(dir_->filePath(QStringLiteral("sources.yaml")));
    config.listen = service::ListenEndpoint{QHostAddress::LocalHost, 0};
    config.store = service::history::StoreSettings{.path = dir_->filePath(QStringLiteral("first.sqlite")),
                                                   .sampleInterval = 0};
    // An output hangs on the store: it follows it, and a reload of its own settings replaces it.
    service::influx::InfluxSettings output;
    output.name = QStringLiteral("vm");
    output.url = QUrl(QStringLiteral("http://127.0.0.1:9"));
    config.influx = {output};
    {
        Program service(config);
        QCOMPARE(service.program->start(), std::nullopt);
        QVERIFY2(service.messages.first().contains(", writes to influx vm at http://127.0.0.1:9;"),
                 qPrintable(service.messages.first()));
        // Nothing listens there: the journal tells the outage, and the page and the metrics read its state.
        QTRY_VERIFY(!service.messages.filter(QStringLiteral("influx vm: cannot write to ")).isEmpty());
        QCOMPARE(service.program->store().outputs().value(0).up, false);
        QVERIFY(!service.program->store().outputs().value(0).state.isEmpty());
        QTRY_VERIFY(service.program->store().source(QStringLiteral("cellar"))->sweeps >= 3);
        const auto storePath = [&] {
            return service.program->history() ? service.program->history()->settings().path : QString();
        };
        service::ServiceConfig next = config;
        for (const QString& path :
             {text, dir_->filePath(QStringLiteral("second.sqlite")), QString(), config.store->path}) {
            next.store =
                path.isEmpty() ? std::nullopt : std::optional(service::history::StoreSettings{.path = path});
            service.program->apply(next);
            QCOMPARE(storePath(), path == text ? config.store->path : path);
            QCOMPARE(service.program->store().outputs().size(), path.isEmpty() ? 0 : 1);
            QCOMPARE(httpGet(service.program->metricsPort(), QStringLiteral("/history.json")).first,
                     path.isEmpty() ? 404 : 200);
        }
        QVERIFY2(service.messages.filter(QStringLiteral("reload: cannot use the history store: ")).size() ==
                     1,
                 qPrintable(service.messages.join(u'\n')));
        const qsizetype told = service.messages.size();
        next.influx.front().batch = 10;
        service.program->apply(next);
        next.influx.clear();
        service.program->apply(next);
        QCOMPARE(service.messages.mid(told).filter(QStringLiteral("reload: influx vm")),
                 QStringList({"reload: influx vm stopped", "reload: influx vm at http://127.0.0.1:9 started",
                              "reload: influx vm stopped"}));
        QVERIFY(service.program->store().outputs().isEmpty());
        service.program->stop();
    }
    Program again(config);
    QCOMPARE(again.program->start(), std::nullopt);
    QVERIFY(!again.program->store()
                 .source(QStringLiteral("cellar"))
                 ->history.points(0, QDateTime::currentDateTime())
                 .isEmpty());
}

void TestServiceSources::runnerHandsOnChecksAndResolutions_data()
{
    QTest::addColumn<QString>("kind");
    // Sensor 0 a range of -60 to 130 and 12 bits, the source 80 to 90, 10 bits and save_resolution.
    QTest::addColumn<bool>("keys");
    QTest::addColumn<QString>("expected"); // the outcomes, the bits the reader had when given the sensors
    // Sensor 0 (a DS18B20) reads 126, sensor 1 (a DS28EA00) 86.
    QTest::newRow("a bus: the families' datasheet ranges")
        << "w1" << false << "implausible implausible - - 0";
    QTest::newRow("an adapter: no range unless given") << "adapter" << false << "ok ok - - 0";
    QTest::newRow("a sensor's own keys win over the source's, which win over the family's")
        << "w1" << true << "ok ok 12 10 1";
}

// Each slot is checked by its sensor's key, else the source's, else its family's where the kind says so;
// the reader has its resolutions before it is given the sensors.
void TestServiceSources::runnerHandsOnChecksAndResolutions()
{
    QFETCH(QString, kind);
    QFETCH(bool, keys);
    QFETCH(QString, expected);
    service::StateStore store(300, false);
    auto owned = std::make_unique<FakeReader>();
    FakeReader& reader = *owned;
    service::SourceConfig config;
    config.name = QStringLiteral("bus");
    config.kind = kind;
    const QString ds28ea00 = QStringLiteral("0000000000000142");
    config.sensors = {{romOf(0), {}}, {ds28ea00, {}}};
    reader.answers = {{romOf(0), {ReadOutcome::Ok, 126.0f, {}}}, {ds28ea00, {ReadOutcome::Ok, 86.0f, {}}}};
    if (keys) {
        config.sensorDefaults = {std::nullopt, std::pair{80.0, 90.0}, 10, true};
        config.settings[romOf(0)].range = std::pair{-60.0, 130.0};
        config.settings[romOf(0)].resolution = 12;
    }
    QString told;
    service::SourceRunner runner(config, {std::move(owned)}, store, QLocale::c(),
                                 [&told](const QString& text) { told += text + u'\n'; });
    QSignalSpy sweeps(&store, &service::StateStore::sweepTaken);
    runner.start();
    QTRY_VERIFY(!sweeps.isEmpty());
    // What a set-up finds amiss is told once however often it finds it; an EEPROM written is told.
    const SensorFacts amiss{.problem = QStringLiteral("X has no resolution to set")};
    emit reader.described(1, amiss);
    emit reader.described(1, amiss);
    emit reader.described(0, SensorFacts{.resolution = 12, .eepromWritten = true, .problem = {}});
    QCOMPARE(told.count(QStringLiteral("source bus: X has no resolution to set\n")), 1);
    QCOMPARE(told.count(QStringLiteral(" keeps 12 bits in its EEPROM from now on\n")), 1);
    QStringList seen;
    for (const auto& sensor : store.source(QStringLiteral("bus"))->sensors)
        seen << readOutcomeLabel(sensor.lastOutcome.value_or(ReadOutcome::NoAnswer));
    for (const std::optional<int>& bits : reader.resolutionsAtSetSensors)
        seen << (bits ? QString::number(*bits) : QStringLiteral("-"));
    QCOMPARE(seen.join(u' ') + u' ' + QString::number(reader.saveResolution), expected);
    runner.stop();
}

QTEST_GUILESS_MAIN(TestServiceSources)
#include "tst_servicesources.moc"
