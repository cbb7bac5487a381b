#pragma once

#include "service/mqtt/mqttmessage.h"
#include "service/mqtt/mqttoptions.h"
#include "service/outputs/outputnames.h"
#include "service/state/sensorstate.h"
#include "service/state/statestore.h"

#include "acquisition/sensorreading.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace quorvel::service {

// What the service publishes for one source, one Home Assistant device, as topics and payloads, from the
// state store: no broker, no sockets, so a test feeds the store readings and reads the messages. Keeps
// nothing of its own: a republish reads the source's state. The service's availability is one topic for
// all its sources.
class MqttMessages {
public:
    static constexpr const char* Online = "online";
    static constexpr const char* Offline = "offline";

    // The source is looked up in the store at each use: a reload may have taken it away. ownLevel: its
    // sensors' topics are <base>/<source>/<ROM>/..., else <base>/<ROM>/... (the one source of a command
    // line).
    MqttMessages(const MqttOptions& options, const StateStore& store, QString source, QString version,
                 bool ownLevel = false);

    [[nodiscard]] static QString statusTopic(const MqttOptions& options)
    {
        return statusTopicOf(options.baseTopic);
    }
    [[nodiscard]] static MqttMessage status(const MqttOptions& options, bool online);
    // Where every sensor and binary sensor config is, ours and others'; read after connecting to find our
    // stale ones.
    [[nodiscard]] static QStringList configFilters(const MqttOptions& options)
    {
        return {options.discoveryPrefix + QStringLiteral("/sensor/+/config"),
                options.discoveryPrefix + QStringLiteral("/binary_sensor/+/config")};
    }
    // The source's device in Home Assistant, named after its topics' first levels.
    [[nodiscard]] QString deviceId() const { return deviceId_; }

    // The temperature after a good read only, and the attributes when the result or reason changed (and
    // after each good read of a calibrated sensor, whose raw value they carry); the sensor's state has taken
    // the reading already.
    [[nodiscard]] QList<MqttMessage> onRead(const SensorState& sensor,
                                            const acquisition::SensorReading& reading) const;
    // Its alarm state and attributes, for a sensor with limits (nothing for one without): the store's
    // alarm changed, or a new connection wants it.
    [[nodiscard]] QList<MqttMessage> onAlarm(const SensorState& sensor) const;
    // A temperature sensor for each sensor, and a binary sensor ("problem") for each with limits.
    [[nodiscard]] QList<MqttMessage> discoveryConfigs() const;
    // Each sensor's state as it is now, for a new connection: the temperature while it is younger than
    // expire_after (an older one would show a stale value as fresh), the attributes of every sensor read,
    // the alarm of every sensor with limits.
    [[nodiscard]] QList<MqttMessage> currentState(const QDateTime& now) const;
    // A retained config seen on the broker: the empty retained messages that clear it and its state when it
    // is of our device but of no sensor in our list; nothing otherwise.
    [[nodiscard]] QList<MqttMessage> clearStale(const QString& topic, const QByteArray& payload) const;
    // The empty retained messages that take the source's configs and state away: it was removed.
    [[nodiscard]] QList<MqttMessage> clearAll() const;

    // "23.5625": the value as the metrics write it, with a dot whatever the locale.
    [[nodiscard]] static QByteArray temperatureText(float value);

private:
    [[nodiscard]] static QString statusTopicOf(const QString& base)
    {
        return base + QLatin1Char('/') + QLatin1String(names::StatusLeaf);
    }
    [[nodiscard]] QString topicOf(const SensorState& sensor, const char* leaf) const;
    [[nodiscard]] QString configTopic(const SensorState& sensor, bool alarm) const;
    [[nodiscard]] MqttMessage attributes(const SensorState& sensor) const;

    QString base_;
    QString root_; // its sensors' topics start with it: the base, or the base and the source
    QString prefix_;
    bool discovery_;
    int expireAfter_;
    // The source's sensors; none once it is gone.
    [[nodiscard]] const std::vector<SensorState>& sensors() const;

    const StateStore& store_;
    QString source_;
    QString version_;
    QString deviceId_;
    QString legacyDeviceId_; // what releases before gave the same base
};

} // namespace quorvel::service
