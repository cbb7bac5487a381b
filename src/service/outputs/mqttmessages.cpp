#include "service/outputs/mqttmessages.h"

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

// The device's identifier from its topic base: '/' becomes '_' as it always did, and '_' and '%' are written
// %5F and %25, so that two bases never give one identifier (rt/a_b and rt_a/b did, and each box took the
// other's configs for its own stale ones).
QString deviceIdOf(const QString& base)
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
      store_(store), source_(std::move(source)), version_(std::move(version)), deviceId_(deviceIdOf(root_))
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

QString MqttMessages::configTopic(const SensorState& sensor) const
{
    return prefix_ + QStringLiteral("/sensor/") + IdPrefix + romOf(sensor) + QStringLiteral("/config");
}

QList<MqttMessage> MqttMessages::onRead(const SensorState& sensor,
                                        const acquisition::SensorReading& reading) const
{
    QList<MqttMessage> out;
    // A power-on value is no temperature: it counts as a failure, as in the metrics.
    if (reading.outcome == acquisition::ReadOutcome::Ok)
        out.append({topicOf(sensor, names::TemperatureLeaf), temperatureText(reading.value), true});
    // Attributes that change at every read would make Home Assistant write them at every read.
    if (sensor.resultChanged)
        out.append(attributes(sensor));
    return out;
}

MqttMessage MqttMessages::attributes(const SensorState& sensor) const
{
    const QJsonObject json{
        {QStringLiteral("name"), sensor.displayName()},
        {QStringLiteral("rom"), romOf(sensor)},
        {QStringLiteral("slot"), sensor.slot + 1},
        {QStringLiteral("result"),
         sensor.lastOutcome ? acquisition::readOutcomeLabel(*sensor.lastOutcome) : QString()},
        {QStringLiteral("reason"), sensor.lastReason},
        {QStringLiteral("since"), timeOrNull(sensor.resultSince)},
    };
    return {topicOf(sensor, names::AttributesLeaf), QJsonDocument(json).toJson(QJsonDocument::Compact), true};
}

QList<MqttMessage> MqttMessages::discoveryConfigs() const
{
    if (!discovery_)
        return {};
    const QString address = store_.source(source_) ? store_.source(source_)->address : QString();
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{deviceId_}},
        {QStringLiteral("name"), root_ == base_
                                     ? QStringLiteral("Quorvel-3 adapter at %1").arg(address)
                                     : QStringLiteral("Quorvel-3 %1, adapter at %2").arg(source_, address)},
        {QStringLiteral("model"), QStringLiteral("1-Wire-to-Ethernet adapter with DS18B20 thermometers")},
        {QStringLiteral("sw_version"), version_},
    };
    // No support URL: the project publishes none, and a made-up one would send people nowhere.
    const QJsonObject origin{
        {QStringLiteral("name"), QStringLiteral("quorvel3d")},
        {QStringLiteral("sw_version"), version_},
    };
    QList<MqttMessage> out;
    for (const SensorState& sensor : sensors()) {
        QJsonObject config{
            {QStringLiteral("name"), sensor.displayName()},
            {QStringLiteral("unique_id"), IdPrefix + romOf(sensor)},
            {QStringLiteral("state_topic"), topicOf(sensor, names::TemperatureLeaf)},
            {QStringLiteral("json_attributes_topic"), topicOf(sensor, names::AttributesLeaf)},
            {QStringLiteral("availability_topic"), statusTopicOf(base_)},
            {QStringLiteral("payload_available"), QLatin1String(Online)},
            {QStringLiteral("payload_not_available"), QLatin1String(Offline)},
            {QStringLiteral("device_class"), QStringLiteral("temperature")},
            {QStringLiteral("state_class"), QStringLiteral("measurement")},
            {QStringLiteral("unit_of_measurement"), QStringLiteral("°C")},
            {QStringLiteral("device"), device},
            {QStringLiteral("origin"), origin},
        };
        if (expireAfter_ > 0)
            config.insert(QStringLiteral("expire_after"), expireAfter_);
        out.append({configTopic(sensor), QJsonDocument(config).toJson(QJsonDocument::Compact), true});
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
    return out;
}

QList<MqttMessage> MqttMessages::clearStale(const QString& topic, const QByteArray& payload) const
{
    if (payload.isEmpty() || !topic.startsWith(prefix_ + QStringLiteral("/sensor/")))
        return {};
    const QJsonObject config = QJsonDocument::fromJson(payload).object();
    const QJsonArray ids =
        config.value(QStringLiteral("device")).toObject().value(QStringLiteral("identifiers")).toArray();
    if (!ids.contains(deviceId_))
        return {};
    const QString uniqueId = config.value(QStringLiteral("unique_id")).toString();
    for (const SensorState& sensor : sensors())
        if (uniqueId == IdPrefix + romOf(sensor))
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
            out.append({configTopic(sensor), {}, true});
        out.append({topicOf(sensor, names::TemperatureLeaf), {}, true});
        out.append({topicOf(sensor, names::AttributesLeaf), {}, true});
    }
    return out;
}

} // namespace quorvel::service
