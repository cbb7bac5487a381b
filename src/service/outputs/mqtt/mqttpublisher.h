#pragma once

#include "runtime/messagesink.h"
#include "service/mqtt/mqttclient.h"
#include "service/outputs/mqtt/mqttmessages.h"

#include "acquisition/sensorreading.h"

#include <QObject>
#include <QTimer>

#include <map>

namespace quorvel::service {

// Publishes the sources' reads to the broker and announces their sensors to Home Assistant, one device per
// source, over one connection: one more part that hears the state store's events. Publishes only what is
// current: while disconnected nothing is kept but each sensor's state, and a new connection gets that
// state, never a backlog.
class MqttPublisher final : public QObject {
    Q_OBJECT
public:
    // How long after connecting the retained configs are read to find the stale ones of our devices.
    static constexpr int ConfigListenMs = 5000;
    // Home Assistant's birth is answered after a random delay within these, so that the devices it hears
    // from do not all answer at once.
    static constexpr int BirthAnswerMinMs = 1000;
    static constexpr int BirthAnswerMaxMs = 5000;

    // ownLevels: each source's topics under <base>/<source>, else the one source's under <base>.
    MqttPublisher(const MqttOptions& options, const StateStore& store, const QString& version, bool ownLevels,
                  runtime::MessageSink messages, QObject* parent = nullptr);

    // A source in the store to publish: at once when connected, also to a source already published (it
    // changed), whose stale configs are then looked for again.
    void addSource(const QString& name);
    // Takes a source's configs and state off the broker; call while the store still holds it.
    void removeSource(const QString& name);

    void start() { client_.start(); }
    // Says offline and goodbye.
    void stop();
    void onRead(const SensorState& sensor, const acquisition::SensorReading& reading);
    // The store's alarmChanged: the sensor's alarm state and attributes, when it has limits.
    void onAlarmChanged(const SensorState& sensor);

    [[nodiscard]] MqttClient& client() { return client_; }

private:
    void onConnected();
    void onMessage(const QString& topic, const QByteArray& payload, bool retained);
    void publish(const QList<MqttMessage>& messages);
    void publishSource(const MqttMessages& source);
    void publishEverything();
    void listenForStale();

    MqttOptions options_;
    const StateStore& store_;
    QString version_;
    bool ownLevels_;
    std::map<QString, MqttMessages> sources_;
    MqttClient client_;
    QTimer configListen_;
    QTimer birthAnswer_;
};

} // namespace quorvel::service
