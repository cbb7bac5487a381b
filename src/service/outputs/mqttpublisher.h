#pragma once

#include "runtime/messagesink.h"
#include "service/mqtt/mqttclient.h"
#include "service/outputs/mqttmessages.h"

#include "acquisition/sensorreading.h"

#include <QObject>
#include <QTimer>

namespace quorvel::service {

// Publishes one source's reads to the broker and announces its sensors to Home Assistant: one more part that
// hears the state store's events. Publishes only what is current: while disconnected nothing is kept but each
// sensor's state, and a new connection gets that state, never a backlog.
class MqttPublisher final : public QObject {
    Q_OBJECT
public:
    // How long after connecting the retained configs are read to find the stale ones of our device.
    static constexpr int ConfigListenMs = 5000;
    // Home Assistant's birth is answered after a random delay within these, so that the devices it hears
    // from do not all answer at once.
    static constexpr int BirthAnswerMinMs = 1000;
    static constexpr int BirthAnswerMaxMs = 5000;

    MqttPublisher(const MqttOptions& options, const StateStore& store, const QString& source,
                  const QString& version, runtime::MessageSink messages, QObject* parent = nullptr);

    void start() { client_.start(); }
    // Says offline and goodbye.
    void stop();
    void onRead(const SensorState& sensor, const acquisition::SensorReading& reading);

    [[nodiscard]] MqttClient& client() { return client_; }

private:
    void onConnected();
    void onMessage(const QString& topic, const QByteArray& payload, bool retained);
    void publish(const QList<MqttMessage>& messages);
    void publishEverything();

    MqttMessages messages_;
    MqttClient client_;
    QTimer configListen_;
    QTimer birthAnswer_;
};

} // namespace quorvel::service
