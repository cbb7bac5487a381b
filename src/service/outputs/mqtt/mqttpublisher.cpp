#include "service/outputs/mqtt/mqttpublisher.h"

#include <QRandomGenerator>

namespace quorvel::service {

MqttPublisher::MqttPublisher(const MqttOptions& options, const StateStore& store, const QString& version,
                             bool ownLevels, runtime::MessageSink messages, QObject* parent)
    : QObject(parent), options_(options), store_(store), version_(version), ownLevels_(ownLevels),
      client_(options, MqttMessages::status(options, false), std::move(messages), this)
{
    configListen_.setSingleShot(true);
    configListen_.setInterval(ConfigListenMs);
    connect(&configListen_, &QTimer::timeout, this, [this] {
        for (const QString& filter : MqttMessages::configFilters(options_))
            client_.unsubscribe(filter);
    });
    birthAnswer_.setSingleShot(true);
    connect(&birthAnswer_, &QTimer::timeout, this, &MqttPublisher::publishEverything);
    connect(&client_, &MqttClient::connected, this, &MqttPublisher::onConnected);
    connect(&client_, &MqttClient::messageReceived, this, &MqttPublisher::onMessage);
    // Messages were dropped while the broker was slow: its picture is behind, so send the current one.
    connect(&client_, &MqttClient::drained, this, [this] {
        for (const auto& [name, source] : sources_)
            publish(source.currentState(QDateTime::currentDateTime()));
    });
}

void MqttPublisher::addSource(const QString& name)
{
    auto [at, added] = sources_.try_emplace(name, options_, store_, name, version_, ownLevels_);
    if (!client_.isConnected())
        return;
    publishSource(at->second);
    // A changed source may have lost sensors: their configs are of its device and no longer listed.
    if (!added)
        listenForStale();
}

void MqttPublisher::removeSource(const QString& name)
{
    const auto at = sources_.find(name);
    if (at == sources_.end())
        return;
    publish(at->second.clearAll());
    sources_.erase(at);
}

void MqttPublisher::stop()
{
    configListen_.stop();
    birthAnswer_.stop();
    client_.stop({MqttMessages::status(options_, false)});
}

void MqttPublisher::onRead(const SensorState& sensor, const acquisition::SensorReading& reading)
{
    // The store keeps the state while disconnected too, so the next connection starts from it.
    const auto at = sources_.find(sensor.source);
    if (at != sources_.end())
        publish(at->second.onRead(sensor, reading));
}

void MqttPublisher::onAlarmChanged(const SensorState& sensor)
{
    const auto at = sources_.find(sensor.source);
    if (at != sources_.end())
        publish(at->second.onAlarm(sensor));
}

void MqttPublisher::publish(const QList<MqttMessage>& messages)
{
    for (const MqttMessage& message : messages)
        if (client_.publish(message) == MqttClient::Sent::NotConnected)
            return;
}

void MqttPublisher::publishSource(const MqttMessages& source)
{
    publish(source.discoveryConfigs());
    publish(source.currentState(QDateTime::currentDateTime()));
}

void MqttPublisher::publishEverything()
{
    for (const auto& [name, source] : sources_)
        publishSource(source);
}

void MqttPublisher::listenForStale()
{
    if (!options_.discovery)
        return;
    for (const QString& filter : MqttMessages::configFilters(options_))
        client_.subscribe(filter);
    configListen_.start();
}

void MqttPublisher::onConnected()
{
    birthAnswer_.stop(); // everything goes now
    publish({MqttMessages::status(options_, true)});
    // The will of a connection the broker noticed dead only now may come after this "online".
    client_.subscribe(MqttMessages::statusTopic(options_));
    if (options_.discovery)
        client_.subscribe(options_.assistantStatus);
    listenForStale();
    publishEverything();
}

void MqttPublisher::onMessage(const QString& topic, const QByteArray& payload, bool retained)
{
    if (topic == MqttMessages::statusTopic(options_)) {
        if (payload == MqttMessages::Offline)
            publish({MqttMessages::status(options_, true)});
        return;
    }
    if (topic == options_.assistantStatus) {
        // Home Assistant started again and forgot what it was told; a retained "online" is no restart.
        if (payload == MqttMessages::Online && !retained && !birthAnswer_.isActive())
            birthAnswer_.start(QRandomGenerator::global()->bounded(BirthAnswerMinMs, BirthAnswerMaxMs + 1));
        return;
    }
    // Each source clears only its own device's.
    for (const auto& [name, source] : sources_)
        publish(source.clearStale(topic, payload));
}

} // namespace quorvel::service
