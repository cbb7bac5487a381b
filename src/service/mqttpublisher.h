#pragma once

#include "messagesink.h"
#include "mqttclient.h"
#include "mqttmessages.h"

#include "acquisition/sensorreading.h"

#include <QObject>
#include <QTimer>

namespace quorvel::service {

// Publishes the cycle's reads to the broker and announces the sensors to Home Assistant: one more part that
// hears the cycle's events. Publishes only what is current: while disconnected nothing is kept but each
// sensor's state, and a new connection gets that state, never a backlog.
class MqttPublisher final : public QObject {
    Q_OBJECT
public:
    // How long after connecting the retained configs are read to find the stale ones of our device.
    static constexpr int ConfigListenMs = 5000;

    MqttPublisher(const MqttOptions& options, const QString& adapter,
                  const QList<acquisition::ListedSensor>& sensors, const QString& version,
                  MessageSink messages, QObject* parent = nullptr);

    void start() { client_.start(); }
    // Says offline and goodbye.
    void stop();
    void onRead(const acquisition::SensorReading& reading);

    [[nodiscard]] MqttClient& client() { return client_; }

private:
    void onConnected();
    void onMessage(const QString& topic, const QByteArray& payload, bool retained);
    void publish(const QList<MqttMessage>& messages);
    void publishEverything();

    MqttMessages messages_;
    MqttClient client_;
    QTimer configListen_;
};

} // namespace quorvel::service
