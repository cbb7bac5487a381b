#include "manualtimer.h"
#include "programfixture.h"

#include "runtime/localeformats.h"
#include "service/outputs/mqtt/mqttmessages.h"
#include "service/state/statestore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

#include <limits>

using namespace quorvel;
using namespace quorvel::acquisition;
using namespace quorvel::testing;

namespace {

service::MqttOptions mqttOptions(int expireAfter = 300)
{
    service::MqttOptions options;
    options.baseTopic = QStringLiteral("q/box");
    options.expireAfter = expireAfter;
    return options;
}

} // namespace

Q_DECLARE_METATYPE(quorvel::service::SensorSettings)

class TestMqttMessages : public QObject {
    Q_OBJECT

private slots:
    void mqttMessagesOfEachRead_data();
    void mqttMessagesOfEachRead();
    void mqttAlarmOfASensorWithLimits_data();
    void mqttAlarmOfASensorWithLimits();
    void mqttClearsOnlyItsOwnStaleConfigs_data();
    void mqttClearsOnlyItsOwnStaleConfigs();
    void deviceIdentifierHasThePrefixOnce_data();
    void deviceIdentifierHasThePrefixOnce();
};

void TestMqttMessages::mqttMessagesOfEachRead_data()
{
    QTest::addColumn<QStringList>("outcomes");     // slot 0's reads, in order, a minute apart
    QTest::addColumn<QStringList>("temperatures"); // the temperatures published, in order
    QTest::addColumn<int>("attributesSent");       // only when the result or the reason changed
    QTest::addColumn<int>("expireAfter");
    QTest::addColumn<bool>("stateHasTemperature"); // what a new connection gets a minute after the last read
    QTest::newRow("ok") << QStringList{"ok"} << QStringList{"20.5"} << 1 << 300 << true;
    QTest::newRow("failure keeps the last success")
        << QStringList{"ok", "http_error", "no_answer"} << QStringList{"20.5"} << 3 << 300 << true;
    QTest::newRow("power-on value is no temperature")
        << QStringList{"power_on_reset"} << QStringList{} << 1 << 300 << false;
    QTest::newRow("then believed") << QStringList{"power_on_reset", "ok"} << QStringList{"20.5"} << 2 << 300
                                   << true;
    QTest::newRow("never read") << QStringList{"no_element"} << QStringList{} << 1 << 300 << false;
    QTest::newRow("good reads: attributes once")
        << QStringList{"ok", "ok", "ok"} << QStringList{"20.5", "20.5", "20.5"} << 1 << 300 << true;
    QTest::newRow("the same failure again: attributes once more")
        << QStringList{"ok", "no_answer", "no_answer", "no_answer"} << QStringList{"20.5"} << 2 << 300
        << true;
    // A last success as old as expire_after is stale: sending it again would show it as fresh.
    QTest::newRow("stale at expire_after")
        << QStringList{"ok", "no_answer"} << QStringList{"20.5"} << 2 << 120 << false;
    QTest::newRow("just younger") << QStringList{"ok", "no_answer"} << QStringList{"20.5"} << 2 << 121
                                  << true;
    QTest::newRow("never stale") << QStringList{"ok", "no_answer"} << QStringList{"20.5"} << 2 << 0 << true;
}

void TestMqttMessages::mqttMessagesOfEachRead()
{
    QFETCH(QStringList, outcomes);
    QFETCH(QStringList, temperatures);
    QFETCH(int, attributesSent);
    QFETCH(int, expireAfter);
    QFETCH(bool, stateHasTemperature);
    const QList<ListedSensor> sensors{{romOf(0), QStringLiteral("Cellar")}, {romOf(1), {}}};
    service::StateStore store(300, false);
    const service::SourceState& source = store.addSource(Source, Kind, Adapter, sensors, {});
    const service::MqttMessages messages(mqttOptions(expireAfter), store, Source, QStringLiteral("1.0.0"));
    const QString base = QStringLiteral("q/box/") + romOf(0);
    QDateTime when = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::OffsetFromUTC, 3600);
    QDateTime since;
    QString previous;
    QStringList published;
    QJsonObject attributes;
    int sent = 0;
    for (const QString& outcome : outcomes) {
        const SensorReading reading = readOf(0, outcomeOf(outcome), when);
        store.onRead(Source, reading);
        for (const service::MqttMessage& message : messages.onRead(source.sensors.front(), reading)) {
            QVERIFY(message.retain);
            if (message.topic == base + QStringLiteral("/temperature"))
                published << QString::fromLatin1(message.payload);
            if (message.topic == base + QStringLiteral("/attributes")) {
                attributes = QJsonDocument::fromJson(message.payload).object();
                ++sent;
            }
        }
        if (outcome != std::exchange(previous, outcome))
            since = when;
        when = when.addSecs(60);
    }
    QCOMPARE(published, temperatures);
    QCOMPARE(sent, attributesSent);
    QCOMPARE(attributes.value("result").toString(), outcomes.last());
    QCOMPARE(attributes.value("name").toString(), QStringLiteral("Cellar"));
    QCOMPARE(attributes.value("slot").toInt(), 1);
    QCOMPARE(attributes.value("since").toString(), since.toString(Qt::ISODate));
    QVERIFY(attributes.value("since").toString().endsWith(QLatin1String("+01:00")));

    // A new connection: the second sensor was never read and gets nothing.
    const QList<service::MqttMessage> state = messages.currentState(when);
    QStringList topics;
    for (const service::MqttMessage& message : state)
        topics << message.topic;
    QCOMPARE(topics, (stateHasTemperature ? QStringList{base + "/temperature", base + "/attributes"}
                                          : QStringList{base + "/attributes"}));
    const QList<service::MqttMessage> configs = messages.discoveryConfigs();
    QCOMPARE(configs.size(), 2);
    QCOMPARE(QJsonDocument::fromJson(configs.at(1).payload).object().value("name").toString(),
             QStringLiteral("Sensor 2"));
    QCOMPARE(QJsonDocument::fromJson(configs.at(0).payload).object().contains("expire_after"),
             expireAfter > 0);
}

void TestMqttMessages::mqttAlarmOfASensorWithLimits_data()
{
    using Settings = service::SensorSettings;
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<QList<float>>("raws"); // slot 0's good reads a minute apart; NaN: silence to stale
    QTest::addColumn<QString>("alarm");     // the alarm state published last; empty: no binary sensor
    QTest::addColumn<int>("changes");
    const float silence = std::numeric_limits<float>::quiet_NaN();
    QTest::newRow("no limits: none, an offset's raw value in the attributes")
        << Settings{.offset = -0.25, .low = {}, .high = {}} << QList<float>{20.5f, 40} << QString() << 0;
    QTest::newRow("limits, never crossed: ok")
        << Settings{.low = 10, .high = 30} << QList<float>{20.5f} << "ok" << 0;
    QTest::newRow("high only, crossed")
        << Settings{.low = {}, .high = 30} << QList<float>{20.5f, 30.5f} << "high" << 1;
    QTest::newRow("low only, crossed after an offset")
        << Settings{.offset = -0.5, .low = 10, .high = {}} << QList<float>{10.25f} << "low" << 1;
    QTest::newRow("silent: stale") << Settings{.low = 10, .high = 30} << QList<float>{20.5f, silence}
                                   << "stale" << 1;
    QTest::newRow("high, then back inside beyond the hysteresis")
        << Settings{.low = 10, .high = 30, .holdSeconds = 60} << QList<float>{31, 31, 29.25f} << "ok" << 2;
}

// Home Assistant's binary sensor per sensor with limits: its config, its state on every change and for a new
// connection, its attributes, and what clears it.
void TestMqttMessages::mqttAlarmOfASensorWithLimits()
{
    QFETCH(service::SensorSettings, settings);
    QFETCH(QList<float>, raws);
    QFETCH(QString, alarm);
    QFETCH(int, changes);
    QDateTime when = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::OffsetFromUTC, 3600);
    service::StateStore store(300, false);
    store.setClock([&when] { return when; });
    auto timer = std::make_unique<testing::ManualTimer>();
    testing::ManualTimer& stale = *timer;
    store.setStaleTimer(std::move(timer));
    store.addSource(Source, Kind, Adapter, {{romOf(0), QStringLiteral("Freezer")}, {romOf(1), {}}}, {}, when,
                    {{romOf(0), settings}});
    const service::SensorState& sensor = store.source(Source)->sensors.front();
    const service::MqttMessages messages(mqttOptions(), store, Source, QStringLiteral("1.0.0"));
    const QString base = QStringLiteral("q/box/") + romOf(0);
    QList<service::MqttMessage> published;
    connect(&store, &service::StateStore::alarmChanged, this,
            [&](const service::SensorState& changed) { published << messages.onAlarm(changed); });
    QJsonObject attributes;
    for (const float raw : raws) {
        when = when.addSecs(qIsNaN(raw) ? 300 : 60);
        if (qIsNaN(raw)) {
            stale.fire();
            continue;
        }
        SensorReading reading = readOf(0, ReadOutcome::Ok, when);
        reading.raw = raw;
        reading.value = raw + float(settings.offset);
        store.onRead(Source, reading);
        for (const service::MqttMessage& message : messages.onRead(sensor, reading))
            if (message.topic == base + QStringLiteral("/attributes"))
                attributes = QJsonDocument::fromJson(message.payload).object();
    }
    // A calibrated sensor's raw value, at every good read; none without an offset.
    QCOMPARE(attributes.value("raw_temperature").toDouble(qQNaN()),
             settings.offset != 0 ? raws.last() : qQNaN());

    QMap<QString, QJsonObject> configs;
    for (const service::MqttMessage& config : messages.discoveryConfigs()) {
        configs.insert(config.topic, QJsonDocument::fromJson(config.payload).object());
        QVERIFY(messages.clearStale(config.topic, config.payload).isEmpty()); // ours and listed
    }
    const QString alarmConfig = "homeassistant/binary_sensor/quorvel3d_" + romOf(0) + "/config";
    QCOMPARE(configs.size(), alarm.isEmpty() ? 2 : 3);
    QStringList cleared;
    for (const service::MqttMessage& message : messages.clearAll())
        cleared << message.topic;
    QCOMPARE(cleared.contains(alarmConfig) && cleared.contains(base + "/alarm_attributes"), !alarm.isEmpty());
    QStringList current;
    for (const service::MqttMessage& message : messages.currentState(when))
        if (message.topic.startsWith(base + "/alarm"))
            current << message.topic + ' ' + QString::fromLatin1(message.payload).left(5);
    QCOMPARE(published.size(), 2 * changes);
    if (alarm.isEmpty()) {
        QVERIFY(current.isEmpty());
        return;
    }
    const QJsonObject config = configs.value(alarmConfig);
    QCOMPARE(config.value("unique_id").toString(), "quorvel3d_" + romOf(0) + "_alarm");
    QCOMPARE(config.value("device_class").toString(), QStringLiteral("problem"));
    QCOMPARE(config.value("state_topic").toString() + ' ' + config.value("json_attributes_topic").toString(),
             base + "/alarm " + base + "/alarm_attributes");
    QCOMPARE(config.value("value_template").toString(),
             QStringLiteral("{{ 'OFF' if value == 'ok' else 'ON' }}"));
    QCOMPARE(config.value("device"),
             configs.value("homeassistant/sensor/quorvel3d_" + romOf(0) + "/config").value("device"));

    // The state on each change (none for a sensor that stays ok), its attributes beside it, all retained.
    QVERIFY(
        std::all_of(published.begin(), published.end(), [](const auto& message) { return message.retain; }));
    QCOMPARE(current, (QStringList{base + "/alarm " + alarm, base + "/alarm_attributes {\"ala"}));
    const auto limit = [](std::optional<double> value) { return value ? QJsonValue(*value) : QJsonValue(); };
    QCOMPARE(QJsonDocument::fromJson(messages.onAlarm(sensor).last().payload).object(),
             (QJsonObject{{"alarm", alarm},
                          {"since", runtime::isoWithOffset(sensor.alarm.since())},
                          {"low", limit(settings.low)},
                          {"high", limit(settings.high)},
                          {"hold", settings.holdSeconds},
                          {"hysteresis", 0.5}}));
}

void TestMqttMessages::mqttClearsOnlyItsOwnStaleConfigs_data()
{
    QTest::addColumn<QString>("source"); // empty: the command line's one source, topics q/box/<ROM>/...
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("cleared");
    const QString gone = QStringLiteral("homeassistant/sensor/quorvel3d_0000000000000028/config");
    const QString none;
    const QByteArray ours = R"({"device":{"identifiers":["quorvel3d_q_box"]},"unique_id":"quorvel3d_)";
    QTest::newRow("ours, no longer listed, with its state")
        << none << gone
        << ours + R"(0000000000000028","state_topic":"q/box/0000000000000028/temperature",)"
                  R"("json_attributes_topic":"q/box/0000000000000028/attributes"})"
        << QStringList{gone, "q/box/0000000000000028/temperature", "q/box/0000000000000028/attributes"};
    QTest::newRow("ours, its state elsewhere: the config only")
        << none << gone << ours + R"(0000000000000028","state_topic":"other/x/temperature"})"
        << QStringList{gone};
    QTest::newRow("ours and listed") << none << gone << ours + romOf(0).toLatin1() + R"("})" << QStringList{};
    QTest::newRow("another device's")
        << none << gone << QByteArray(R"({"device":{"identifiers":["quorvel3d_q_other"]},"unique_id":"x"})")
        << QStringList{};
    // Its base has an underscore where ours has a slash: it used to make the same identifier.
    QTest::newRow("the box with base q_box")
        << none << gone << QByteArray(R"({"device":{"identifiers":["@q_box"]},"unique_id":"x"})")
        << QStringList{};
    QTest::newRow("already cleared") << none << gone << QByteArray() << QStringList{};
    QTest::newRow("not JSON") << none << gone << QByteArray("{") << QStringList{};
    // From a configuration file: a device per source, its topics under q/box/<source>.
    QTest::newRow("source cellar: its own, with its state")
        << "cellar" << gone
        << QByteArray(R"({"device":{"identifiers":["@q/box/cellar"]},"unique_id":"x",)"
                      R"("state_topic":"q/box/cellar/0000000000000028/temperature"})")
        << QStringList{gone, "q/box/cellar/0000000000000028/temperature"};
    QTest::newRow("source cellar: the source attic's")
        << "cellar" << gone << QByteArray(R"({"device":{"identifiers":["@q/box/attic"]},"unique_id":"x"})")
        << QStringList{};
    QTest::newRow("source cellar: the command line's device")
        << "cellar" << gone << ours + R"(0000000000000028"})" << QStringList{};
    QTest::newRow("ours, the alarm of a sensor without limits now, with its state")
        << none << QStringLiteral("homeassistant/binary_sensor/quorvel3d_") + romOf(0) + "/config"
        << ours + romOf(0).toLatin1() + R"(_alarm","state_topic":"q/box/)" + romOf(0).toLatin1() +
               R"(/alarm","json_attributes_topic":"q/box/)" + romOf(0).toLatin1() + R"(/alarm_attributes"})"
        << QStringList{QStringLiteral("homeassistant/binary_sensor/quorvel3d_") + romOf(0) + "/config",
                       "q/box/" + romOf(0) + "/alarm", "q/box/" + romOf(0) + "/alarm_attributes"};
    QTest::newRow("source cellar: a state of the base's own")
        << "cellar" << gone
        << QByteArray(R"({"device":{"identifiers":["@q/box/cellar"]},"unique_id":"x",)"
                      R"("state_topic":"q/box/0000000000000028/temperature"})")
        << QStringList{gone};
}

void TestMqttMessages::mqttClearsOnlyItsOwnStaleConfigs()
{
    QFETCH(QString, source);
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, cleared);
    const QString name = source.isEmpty() ? Source : source;
    service::StateStore store(300, false);
    store.addSource(name, Kind, Adapter, builtInSensors(), {});
    // "@base": the device identifier of the one source of a box with that base.
    static const QRegularExpression other(QStringLiteral("@([^\"]+)"));
    if (const QRegularExpressionMatch match = other.match(QString::fromUtf8(payload)); match.hasMatch()) {
        service::MqttOptions options = mqttOptions();
        options.baseTopic = match.captured(1);
        payload.replace(match.captured(0).toUtf8(),
                        service::MqttMessages(options, store, name, {}).deviceId().toUtf8());
    }
    const service::MqttMessages messages(mqttOptions(), store, name, QStringLiteral("1.0.0"),
                                         !source.isEmpty());
    QStringList topics;
    for (const service::MqttMessage& message : messages.clearStale(topic, payload)) {
        QVERIFY(message.payload.isEmpty() && message.retain);
        topics << message.topic;
    }
    QCOMPARE(topics, cleared);
}

void TestMqttMessages::deviceIdentifierHasThePrefixOnce_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("before"); // what earlier releases gave the base
    QTest::newRow("the default base") << "quorvel3d/vm-pi"
                                      << "quorvel3d_vm-pi"
                                      << "quorvel3d_quorvel3d_vm-pi";
    QTest::newRow("a base of its own") << "q/box"
                                       << "quorvel3d_q_box"
                                       << "quorvel3d_q_box";
    QTest::newRow("the prefix's name alone") << "quorvel3d"
                                             << "quorvel3d_quorvel3d"
                                             << "quorvel3d_quorvel3d";
    QTest::newRow("a first level that only begins so") << "quorvel3dx/a"
                                                       << "quorvel3d_quorvel3dx_a"
                                                       << "quorvel3d_quorvel3dx_a";
}

// The device is named once by the prefix; what an earlier release sent for the box is still its own to clear.
void TestMqttMessages::deviceIdentifierHasThePrefixOnce()
{
    QFETCH(QString, base);
    QFETCH(QString, id);
    QFETCH(QString, before);
    service::StateStore store(300, false);
    store.addSource(Source, Kind, Adapter, builtInSensors(), {});
    service::MqttOptions options = mqttOptions();
    options.baseTopic = base;
    const service::MqttMessages messages(options, store, Source, {});
    QCOMPARE(messages.deviceId(), id);
    const QString gone = QStringLiteral("homeassistant/sensor/quorvel3d_0000000000000028/config");
    const QByteArray old = R"({"device":{"identifiers":[")" + before.toUtf8() + R"("]},"unique_id":"x"})";
    QCOMPARE(messages.clearStale(gone, old).size(), 1);
}

QTEST_GUILESS_MAIN(TestMqttMessages)
#include "tst_mqttmessages.moc"
