#pragma once

#include <QByteArray>
#include <QString>

namespace quorvel::service {

// Where and how to publish to an MQTT broker (--mqtt and the options that go with it).
struct MqttOptions {
    static constexpr quint16 PlainPort = 1883;
    static constexpr quint16 TlsPort = 8883;
    static constexpr int DefaultExpireAfter = 300;
    static constexpr int DefaultKeepAlive = 60;
    // The default base topic is this, a slash and the host name.
    static constexpr const char* DefaultTopicRoot = "quorvel3d";

    QString url; // as given, for messages
    QString host;
    quint16 port = PlainPort;
    bool tls = false;
    // The CA certificates the broker's certificate must chain to; empty: the system's.
    QString caFile;
    QString user;
    QString passwordFile;
    // Read from passwordFile by loadMqttFiles(), never from the command line.
    QByteArray password;
    // Every topic of this service starts with it; default DefaultTopicRoot/<host name>.
    QString baseTopic;
    bool discovery = true;
    QString discoveryPrefix = QStringLiteral("homeassistant");
    // Where Home Assistant says "online" when it starts: its own topic, whatever the discovery prefix.
    QString assistantStatus = QStringLiteral("homeassistant/status");
    int expireAfter = DefaultExpireAfter;
    int keepAlive = DefaultKeepAlive;

    friend bool operator==(const MqttOptions&, const MqttOptions&) = default;
};

} // namespace quorvel::service
