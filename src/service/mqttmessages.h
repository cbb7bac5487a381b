#pragma once

#include "sensorrun.h"
#include "serviceoptions.h"

#include "acquisition/sensorreading.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <vector>

namespace quorvel::service {

struct MqttMessage {
    QString topic;
    QByteArray payload;
    bool retain = true;

    friend bool operator==(const MqttMessage&, const MqttMessage&) = default;
};

// What the service publishes, as topics and payloads, from the cycle's reads: no broker, no sockets, so a
// test feeds it readings and reads the messages. Keeps per sensor what a republish needs (the last good
// value and when, the failures since).
class MqttMessages {
public:
    static constexpr const char* Online = "online";
    static constexpr const char* Offline = "offline";

    MqttMessages(const MqttOptions& options, QString adapter, const QList<acquisition::ListedSensor>& sensors,
                 QString version);

    [[nodiscard]] QString statusTopic() const { return base_ + QStringLiteral("/status"); }
    [[nodiscard]] MqttMessage status(bool online) const;
    // Home Assistant says "online" here when it (re)starts: its own topic, whatever the discovery prefix.
    [[nodiscard]] static QString assistantStatusTopic()
    {
        return QLatin1String(MqttOptions::AssistantStatusTopic);
    }
    // Where every sensor config is, ours and others'; read after connecting to find our stale ones.
    [[nodiscard]] QString configFilter() const { return prefix_ + QStringLiteral("/sensor/+/config"); }
    [[nodiscard]] bool discovery() const { return discovery_; }
    // This service's device in Home Assistant: one per service, and so per adapter.
    [[nodiscard]] QString deviceId() const { return deviceId_; }

    // The temperature after a good read only, and the attributes after every read.
    QList<MqttMessage> onRead(const acquisition::SensorReading& reading);
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
    struct Sensor {
        QString rom;
        QString name; // the list's, else "Sensor N"
        SensorRun run;
    };

    [[nodiscard]] QString topicOf(const Sensor& sensor, const char* leaf) const;
    [[nodiscard]] QString configTopic(const QString& rom) const;
    [[nodiscard]] MqttMessage attributes(int slot) const;

    QString base_;
    QString prefix_;
    bool discovery_;
    int expireAfter_;
    QString adapter_;
    QString version_;
    QString deviceId_;
    std::vector<Sensor> sensors_;
};

} // namespace quorvel::service
