#include "mqttmessages.h"

#include "runtime/localeformats.h"

#include "runtime/conversions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

namespace quorvel::service {

namespace {

const QString IdPrefix = QStringLiteral("quorvel3d_");

QJsonValue timeOrNull(const QDateTime& when)
{
    return when.isValid() ? QJsonValue(runtime::isoWithOffset(when)) : QJsonValue(QJsonValue::Null);
}

} // namespace

MqttMessages::MqttMessages(const MqttOptions& options, QString adapter,
                           const QList<acquisition::ListedSensor>& sensors, QString version)
    : base_(options.baseTopic), prefix_(options.discoveryPrefix), discovery_(options.discovery),
      expireAfter_(options.expireAfter), adapter_(std::move(adapter)), version_(std::move(version)),
      deviceId_(IdPrefix + QString(options.baseTopic).replace(QLatin1Char('/'), QLatin1Char('_')))
{
    for (qsizetype i = 0; i < sensors.size(); ++i) {
        Sensor sensor;
        sensor.rom = sensors.at(i).romCode.toUpper();
        sensor.name =
            sensors.at(i).name.isEmpty() ? QStringLiteral("Sensor %1").arg(i + 1) : sensors.at(i).name;
        sensors_.push_back(std::move(sensor));
    }
}

MqttMessage MqttMessages::status(bool online) const
{
    return {statusTopic(), online ? Online : Offline, true};
}

QByteArray MqttMessages::temperatureText(float value)
{
    return runtime::singleToText(value, QLocale::c()).toLatin1();
}

QString MqttMessages::topicOf(const Sensor& sensor, const char* leaf) const
{
    return base_ + QLatin1Char('/') + sensor.rom + QLatin1Char('/') + QLatin1String(leaf);
}

QString MqttMessages::configTopic(const QString& rom) const
{
    return prefix_ + QStringLiteral("/sensor/") + IdPrefix + rom + QStringLiteral("/config");
}

QList<MqttMessage> MqttMessages::onRead(const acquisition::SensorReading& reading)
{
    if (reading.slot < 0 || reading.slot >= qsizetype(sensors_.size()))
        return {};
    Sensor& sensor = sensors_[std::size_t(reading.slot)];
    QList<MqttMessage> out;
    // A power-on value is no temperature: it counts as a failure, as in the metrics.
    if (sensor.run.note(reading))
        out.append({topicOf(sensor, "temperature"), temperatureText(reading.value), true});
    out.append(attributes(reading.slot));
    return out;
}

MqttMessage MqttMessages::attributes(int slot) const
{
    const Sensor& sensor = sensors_[std::size_t(slot)];
    const QJsonObject json{
        {QStringLiteral("name"), sensor.name},
        {QStringLiteral("rom"), sensor.rom},
        {QStringLiteral("slot"), slot + 1},
        {QStringLiteral("result"),
         sensor.run.lastOutcome ? acquisition::readOutcomeLabel(*sensor.run.lastOutcome) : QString()},
        {QStringLiteral("reason"), sensor.run.lastReason},
        {QStringLiteral("last_success"), timeOrNull(sensor.run.lastSuccess)},
        {QStringLiteral("consecutive_failures"), qint64(sensor.run.failuresInRow)},
    };
    return {topicOf(sensor, "attributes"), QJsonDocument(json).toJson(QJsonDocument::Compact), true};
}

QList<MqttMessage> MqttMessages::discoveryConfigs() const
{
    if (!discovery_)
        return {};
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{deviceId_}},
        {QStringLiteral("name"), QStringLiteral("Quorvel-3 adapter at %1").arg(adapter_)},
        {QStringLiteral("model"), QStringLiteral("1-Wire-to-Ethernet adapter with DS18B20 thermometers")},
        {QStringLiteral("sw_version"), version_},
    };
    // No support URL: the project publishes none, and a made-up one would send people nowhere.
    const QJsonObject origin{
        {QStringLiteral("name"), QStringLiteral("quorvel3d")},
        {QStringLiteral("sw_version"), version_},
    };
    QList<MqttMessage> out;
    for (const Sensor& sensor : sensors_) {
        QJsonObject config{
            {QStringLiteral("name"), sensor.name},
            {QStringLiteral("unique_id"), IdPrefix + sensor.rom},
            {QStringLiteral("state_topic"), topicOf(sensor, "temperature")},
            {QStringLiteral("json_attributes_topic"), topicOf(sensor, "attributes")},
            {QStringLiteral("availability_topic"), statusTopic()},
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
        out.append({configTopic(sensor.rom), QJsonDocument(config).toJson(QJsonDocument::Compact), true});
    }
    return out;
}

QList<MqttMessage> MqttMessages::currentState(const QDateTime& now) const
{
    QList<MqttMessage> out;
    for (std::size_t i = 0; i < sensors_.size(); ++i) {
        const Sensor& sensor = sensors_[i];
        if (!sensor.run.lastOutcome)
            continue;
        if (sensor.run.lastSuccess.isValid() &&
            (expireAfter_ == 0 || sensor.run.lastSuccess.secsTo(now) < qint64(expireAfter_)))
            out.append({topicOf(sensor, "temperature"), temperatureText(*sensor.run.goodValue), true});
        out.append(attributes(int(i)));
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
    for (const Sensor& sensor : sensors_)
        if (uniqueId == IdPrefix + sensor.rom)
            return {};
    QList<MqttMessage> out{{topic, {}, true}};
    // Its retained state too, but only under our own base: a config cannot make us clear another's topics.
    for (const char* key : {"state_topic", "json_attributes_topic"}) {
        const QString stateTopic = config.value(QLatin1String(key)).toString();
        if (stateTopic.startsWith(base_ + QLatin1Char('/')))
            out.append({stateTopic, {}, true});
    }
    return out;
}

} // namespace quorvel::service
