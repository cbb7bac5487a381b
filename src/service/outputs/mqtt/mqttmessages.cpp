#include "service/outputs/mqtt/mqttmessages.h"

#include "service/outputs/outputnames.h"

#include "runtime/localeformats.h"

#include "runtime/conversions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

namespace quorvel::service {

namespace {

const QString IdPrefix = QStringLiteral("quorvel3d_");

// Topics and identifiers carry the ROM code in capitals, whatever form the list gave.
QString romOf(const SensorState& sensor)
{
    return sensor.romCode.toUpper();
}

// Home Assistant's components: a temperature per sensor, an alarm per sensor with limits.
constexpr bool TemperatureEntity = false;
constexpr bool AlarmEntity = true;

QString componentOf(bool alarm)
{
    return alarm ? QStringLiteral("binary_sensor") : QStringLiteral("sensor");
}

QString uniqueIdOf(const SensorState& sensor, bool alarm)
{
    return IdPrefix + romOf(sensor) + (alarm ? QStringLiteral("_alarm") : QString());
}

bool hasLimits(const SensorState& sensor)
{
    return sensor.alarm.settings().hasLimits();
}

QJsonValue limitOrNull(const std::optional<double>& limit)
{
    return limit ? QJsonValue(*limit) : QJsonValue(QJsonValue::Null);
}

// The device's identifier from its topic base: '/' becomes '_' as it always did, and '_' and '%' are written
// %5F and %25, so that two bases never give one identifier (rt/a_b and rt_a/b did, and each box took the
// other's configs for its own stale ones).
QString legacyDeviceIdOf(const QString& base)
{
    QString id = IdPrefix;
    for (const QChar c : base) {
        if (c == QLatin1Char('/'))
            id += QLatin1Char('_');
        else if (c == QLatin1Char('_'))
            id += QLatin1String("%5F");
        else if (c == QLatin1Char('%'))
            id += QLatin1String("%25");
        else
            id += c;
    }
    return id;
}

// The identifier without the prefix twice over where the base begins with it, as the default base does
// (quorvel3d_box, not quorvel3d_quorvel3d_box). It meets the one of the base without that first level
// ("box"); two boxes of one broker set up so have each their own discovery prefix to keep apart.
QString deviceIdOf(const QString& base)
{
    const QString root = QLatin1String(MqttOptions::DefaultTopicRoot) + QLatin1Char('/');
    return legacyDeviceIdOf(base.startsWith(root) ? base.sliced(root.size()) : base);
}

QJsonValue timeOrNull(const QDateTime& when)
{
    return when.isValid() ? QJsonValue(runtime::isoWithOffset(when)) : QJsonValue(QJsonValue::Null);
}

} // namespace

MqttMessages::MqttMessages(const MqttOptions& options, const StateStore& store, QString source,
                           QString version, bool ownLevel)
    : base_(options.baseTopic),
      root_(ownLevel ? options.baseTopic + QLatin1Char('/') + source : options.baseTopic),
      prefix_(options.discoveryPrefix), discovery_(options.discovery), expireAfter_(options.expireAfter),
      store_(store), source_(std::move(source)), version_(std::move(version)), deviceId_(deviceIdOf(root_)),
      legacyDeviceId_(legacyDeviceIdOf(root_))
{
}

const std::vector<SensorState>& MqttMessages::sensors() const
{
    static const std::vector<SensorState> none;
    const SourceState* source = store_.source(source_);
    return source ? source->sensors : none;
}

MqttMessage MqttMessages::status(const MqttOptions& options, bool online)
{
    return {statusTopic(options), online ? Online : Offline, true};
}

QByteArray MqttMessages::temperatureText(float value)
{
    return runtime::singleToText(value, QLocale::c()).toLatin1();
}

QString MqttMessages::topicOf(const SensorState& sensor, const char* leaf) const
{
    return root_ + QLatin1Char('/') + romOf(sensor) + QLatin1Char('/') + QLatin1String(leaf);
}

QString MqttMessages::configTopic(const SensorState& sensor, bool alarm) const
{
    return prefix_ + QLatin1Char('/') + componentOf(alarm) + QLatin1Char('/') + IdPrefix + romOf(sensor) +
           QStringLiteral("/config");
}

QList<MqttMessage> MqttMessages::onRead(const SensorState& sensor,
                                        const acquisition::SensorReading& reading) const
{
    QList<MqttMessage> out;
    // A power-on value is no temperature: it counts as a failure, as in the metrics.
    if (reading.outcome == acquisition::ReadOutcome::Ok)
        out.append({topicOf(sensor, names::TemperatureLeaf), temperatureText(reading.value), true});
    // Attributes that change at every read would make Home Assistant write them at every read: only a
    // calibrated sensor's do, as they carry its raw value.
    const bool calibrated = sensor.alarm.settings().offset != 0;
    if (sensor.resultChanged || (calibrated && reading.outcome == acquisition::ReadOutcome::Ok))
        out.append(attributes(sensor));
    return out;
}

QList<MqttMessage> MqttMessages::onAlarm(const SensorState& sensor) const
{
    if (!hasLimits(sensor))
        return {};
    const SensorAlarm& alarm = sensor.alarm;
    const SensorSettings& settings = alarm.settings();
    const QJsonObject json{
        {QLatin1String(names::Alarm), alarmLabel(alarm.state())},
        {QLatin1String(names::Since), timeOrNull(alarm.since())},
        {QLatin1String(names::LowLimit), limitOrNull(settings.low)},
        {QLatin1String(names::HighLimit), limitOrNull(settings.high)},
        {QLatin1String(names::Hold), settings.holdSeconds},
        {QLatin1String(names::Hysteresis), settings.hysteresis},
    };
    return {{topicOf(sensor, names::AlarmLeaf), alarmLabel(alarm.state()).toLatin1(), true},
            {topicOf(sensor, names::AlarmAttributesLeaf), QJsonDocument(json).toJson(QJsonDocument::Compact),
             true}};
}

MqttMessage MqttMessages::attributes(const SensorState& sensor) const
{
    QJsonObject json{
        {QStringLiteral("name"), sensor.displayName()},
        {QStringLiteral("rom"), romOf(sensor)},
        {QStringLiteral("slot"), sensor.slot + 1},
        {QStringLiteral("result"),
         sensor.lastOutcome ? acquisition::readOutcomeLabel(*sensor.lastOutcome) : QString()},
        {QStringLiteral("reason"), sensor.lastReason},
        {QLatin1String(names::Since), timeOrNull(sensor.resultSince)},
    };
    // Without an offset the raw value is the temperature: the attributes stay as they always were.
    if (sensor.alarm.settings().offset != 0 && sensor.goodRaw)
        json.insert(QLatin1String(names::RawTemperature), runtime::singleAsDouble(*sensor.goodRaw));
    return {topicOf(sensor, names::AttributesLeaf), QJsonDocument(json).toJson(QJsonDocument::Compact), true};
}

QList<MqttMessage> MqttMessages::discoveryConfigs() const
{
    if (!discovery_)
        return {};
    const SourceState* source = store_.source(source_);
    const QString address = source ? source->address : QString();
    const QString noun = source ? source->noun : QString();
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{deviceId_}},
        {QStringLiteral("name"), root_ == base_
                                     ? QStringLiteral("Quorvel-3 %1 at %2").arg(noun, address)
                                     : QStringLiteral("Quorvel-3 %1, %2 at %3").arg(source_, noun, address)},
        {QStringLiteral("model"), source ? source->model : QString()},
        {QStringLiteral("sw_version"), version_},
    };
    // No support URL: the project publishes none, and a made-up one would send people nowhere.
    const QJsonObject origin{
        {QStringLiteral("name"), QStringLiteral("quorvel3d")},
        {QStringLiteral("sw_version"), version_},
    };
    const auto common = [&](const SensorState& sensor, bool alarm) {
        return QJsonObject{
            {QStringLiteral("unique_id"), uniqueIdOf(sensor, alarm)},
            {QStringLiteral("availability_topic"), statusTopicOf(base_)},
            {QStringLiteral("payload_available"), QLatin1String(Online)},
            {QStringLiteral("payload_not_available"), QLatin1String(Offline)},
            {QStringLiteral("device"), device},
            {QStringLiteral("origin"), origin},
        };
    };
    QList<MqttMessage> out;
    for (const SensorState& sensor : sensors()) {
        QJsonObject config = common(sensor, TemperatureEntity);
        config.insert(QStringLiteral("name"), sensor.displayName());
        config.insert(QStringLiteral("state_topic"), topicOf(sensor, names::TemperatureLeaf));
        config.insert(QStringLiteral("json_attributes_topic"), topicOf(sensor, names::AttributesLeaf));
        config.insert(QStringLiteral("device_class"), QStringLiteral("temperature"));
        config.insert(QStringLiteral("state_class"), QStringLiteral("measurement"));
        config.insert(QStringLiteral("unit_of_measurement"), QStringLiteral("°C"));
        if (expireAfter_ > 0)
            config.insert(QStringLiteral("expire_after"), expireAfter_);
        out.append({configTopic(sensor, TemperatureEntity),
                    QJsonDocument(config).toJson(QJsonDocument::Compact), true});
        if (!hasLimits(sensor))
            continue;
        // The state topic says the alarm in words for any reader; the template makes it on or off. No
        // expire_after: silence is an alarm state of its own, stale.
        QJsonObject alarm = common(sensor, AlarmEntity);
        alarm.insert(QStringLiteral("name"), sensor.displayName() + QStringLiteral(" alarm"));
        alarm.insert(QStringLiteral("state_topic"), topicOf(sensor, names::AlarmLeaf));
        alarm.insert(QStringLiteral("json_attributes_topic"), topicOf(sensor, names::AlarmAttributesLeaf));
        alarm.insert(QStringLiteral("device_class"), QStringLiteral("problem"));
        alarm.insert(
            QStringLiteral("value_template"),
            QStringLiteral("{{ 'OFF' if value == '%1' else 'ON' }}").arg(alarmLabel(AlarmState::Ok)));
        alarm.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
        alarm.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
        out.append(
            {configTopic(sensor, AlarmEntity), QJsonDocument(alarm).toJson(QJsonDocument::Compact), true});
    }
    return out;
}

QList<MqttMessage> MqttMessages::currentState(const QDateTime& now) const
{
    QList<MqttMessage> out;
    for (const SensorState& sensor : sensors()) {
        if (!sensor.lastOutcome)
            continue;
        if (sensor.lastSuccess.isValid() &&
            (expireAfter_ == 0 || sensor.lastSuccess.secsTo(now) < qint64(expireAfter_)))
            out.append({topicOf(sensor, names::TemperatureLeaf), temperatureText(*sensor.goodValue), true});
        out.append(attributes(sensor));
    }
    for (const SensorState& sensor : sensors())
        out.append(onAlarm(sensor));
    return out;
}

QList<MqttMessage> MqttMessages::clearStale(const QString& topic, const QByteArray& payload) const
{
    const auto under = [&](bool alarm) {
        return topic.startsWith(prefix_ + QLatin1Char('/') + componentOf(alarm) + QLatin1Char('/'));
    };
    const bool alarm = under(AlarmEntity);
    if (payload.isEmpty() || !(alarm || under(TemperatureEntity)))
        return {};
    const QJsonObject config = QJsonDocument::fromJson(payload).object();
    const QJsonArray ids =
        config.value(QStringLiteral("device")).toObject().value(QStringLiteral("identifiers")).toArray();
    // The configs an earlier release sent for this box carry its identifier of then.
    if (!ids.contains(deviceId_) && !ids.contains(legacyDeviceId_))
        return {};
    const QString uniqueId = config.value(QStringLiteral("unique_id")).toString();
    // An alarm is stale also when its sensor is listed but has no limits now.
    for (const SensorState& sensor : sensors())
        if (uniqueId == uniqueIdOf(sensor, alarm) && (!alarm || hasLimits(sensor)))
            return {};
    QList<MqttMessage> out{{topic, {}, true}};
    // Its retained state too, but only under our own base: a config cannot make us clear another's topics.
    for (const char* key : {"state_topic", "json_attributes_topic"}) {
        const QString stateTopic = config.value(QLatin1String(key)).toString();
        if (stateTopic.startsWith(root_ + QLatin1Char('/')))
            out.append({stateTopic, {}, true});
    }
    return out;
}

QList<MqttMessage> MqttMessages::clearAll() const
{
    QList<MqttMessage> out;
    for (const SensorState& sensor : sensors()) {
        if (discovery_)
            out.append({configTopic(sensor, TemperatureEntity), {}, true});
        out.append({topicOf(sensor, names::TemperatureLeaf), {}, true});
        out.append({topicOf(sensor, names::AttributesLeaf), {}, true});
        if (!hasLimits(sensor))
            continue;
        if (discovery_)
            out.append({configTopic(sensor, AlarmEntity), {}, true});
        out.append({topicOf(sensor, names::AlarmLeaf), {}, true});
        out.append({topicOf(sensor, names::AlarmAttributesLeaf), {}, true});
    }
    return out;
}

} // namespace quorvel::service
