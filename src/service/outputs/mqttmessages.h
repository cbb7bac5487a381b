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

namespace quorvel::service {

// What the service publishes for one source, as topics and payloads, from the state store: no broker, no
// sockets, so a test feeds the store readings and reads the messages. Keeps nothing of its own: a republish
// reads the source's state.
class MqttMessages {
public:
    static constexpr const char* Online = "online";
    static constexpr const char* Offline = "offline";

    // The source is looked up in the store at each use: a reload may have taken it away.
    MqttMessages(const MqttOptions& options, const StateStore& store, QString source, QString version);

    [[nodiscard]] QString statusTopic() const
    {
        return base_ + QLatin1Char('/') + QLatin1String(names::StatusLeaf);
    }
    [[nodiscard]] MqttMessage status(bool online) const;
    // Home Assistant says "online" here when it (re)starts.
    [[nodiscard]] QString assistantStatusTopic() const { return assistantStatus_; }
    // Where every sensor config is, ours and others'; read after connecting to find our stale ones.
    [[nodiscard]] QString configFilter() const { return prefix_ + QStringLiteral("/sensor/+/config"); }
    [[nodiscard]] bool discovery() const { return discovery_; }
    // This service's device in Home Assistant: one per service, and so per adapter.
    [[nodiscard]] QString deviceId() const { return deviceId_; }

    // The temperature after a good read only, and the attributes when the result or reason changed; the
    // sensor's state has taken the reading already.
    [[nodiscard]] QList<MqttMessage> onRead(const SensorState& sensor,
                                            const acquisition::SensorReading& reading) const;
    [[nodiscard]] QList<MqttMessage> discoveryConfigs() const;
    // Each sensor's state as it is now, for a new connection: the temperature while it is younger than
    // expire_after (an older one would show a stale value as fresh), the attributes of every sensor read.
    [[nodiscard]] QList<MqttMessage> currentState(const QDateTime& now) const;
    // A retained config seen on the broker: the empty retained messages that clear it and its state when it
    // is of our device but of no sensor in our list; nothing otherwise.
    [[nodiscard]] QList<MqttMessage> clearStale(const QString& topic, const QByteArray& payload) const;

    // "23.5625": the value as the metrics write it, with a dot whatever the locale.
    [[nodiscard]] static QByteArray temperatureText(float value);

private:
    [[nodiscard]] QString topicOf(const SensorState& sensor, const char* leaf) const;
    [[nodiscard]] QString configTopic(const SensorState& sensor) const;
    [[nodiscard]] MqttMessage attributes(const SensorState& sensor) const;

    QString base_;
    QString prefix_;
    QString assistantStatus_;
    bool discovery_;
    int expireAfter_;
    // The source's sensors; none once it is gone.
    [[nodiscard]] const std::vector<SensorState>& sensors() const;

    const StateStore& store_;
    QString source_;
    QString version_;
    QString deviceId_;
};

} // namespace quorvel::service
