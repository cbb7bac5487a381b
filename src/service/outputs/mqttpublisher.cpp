#include "service/outputs/mqttpublisher.h"

#include <QRandomGenerator>

namespace quorvel::service {

MqttPublisher::MqttPublisher(const MqttOptions& options, const StateStore& store, const QString& source,
                             const QString& version, runtime::MessageSink messages, QObject* parent)
    : QObject(parent), messages_(options, store, source, version),
      client_(options, messages_.status(false), std::move(messages), this)
{
    configListen_.setSingleShot(true);
    configListen_.setInterval(ConfigListenMs);
    connect(&configListen_, &QTimer::timeout, this,
            [this] { client_.unsubscribe(messages_.configFilter()); });
    birthAnswer_.setSingleShot(true);
    connect(&birthAnswer_, &QTimer::timeout, this, &MqttPublisher::publishEverything);
    connect(&client_, &MqttClient::connected, this, &MqttPublisher::onConnected);
    connect(&client_, &MqttClient::messageReceived, this, &MqttPublisher::onMessage);
    // Messages were dropped while the broker was slow: its picture is behind, so send the current one.
    connect(&client_, &MqttClient::drained, this,
            [this] { publish(messages_.currentState(QDateTime::currentDateTime())); });
}

void MqttPublisher::stop()
{
    configListen_.stop();
    birthAnswer_.stop();
    client_.stop({messages_.status(false)});
}

void MqttPublisher::onRead(const SensorState& sensor, const acquisition::SensorReading& reading)
{
    // The store keeps the state while disconnected too, so the next connection starts from it.
    publish(messages_.onRead(sensor, reading));
}

void MqttPublisher::publish(const QList<MqttMessage>& messages)
{
    for (const MqttMessage& message : messages)
        if (client_.publish(message) == MqttClient::Sent::NotConnected)
            return;
}

void MqttPublisher::publishEverything()
{
    publish(messages_.discoveryConfigs());
    publish(messages_.currentState(QDateTime::currentDateTime()));
}

void MqttPublisher::onConnected()
{
    birthAnswer_.stop(); // everything goes now
    publish({messages_.status(true)});
    // The will of a connection the broker noticed dead only now may come after this "online".
    client_.subscribe(messages_.statusTopic());
    if (messages_.discovery()) {
        client_.subscribe(messages_.assistantStatusTopic());
        client_.subscribe(messages_.configFilter());
        configListen_.start();
    }
    publishEverything();
}

void MqttPublisher::onMessage(const QString& topic, const QByteArray& payload, bool retained)
{
    if (topic == messages_.statusTopic()) {
        if (payload == MqttMessages::Offline)
            publish({messages_.status(true)});
        return;
    }
    if (topic == messages_.assistantStatusTopic()) {
        // Home Assistant started again and forgot what it was told; a retained "online" is no restart.
        if (payload == MqttMessages::Online && !retained && !birthAnswer_.isActive())
            birthAnswer_.start(QRandomGenerator::global()->bounded(BirthAnswerMinMs, BirthAnswerMaxMs + 1));
        return;
    }
    publish(messages_.clearStale(topic, payload));
}

} // namespace quorvel::service
