#pragma once

#include "runtime/optiondecl.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

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

using MqttOptionDecl = runtime::OptionDecl<MqttOptions>;

// --mqtt and the options that need it, in the order the usage lists them; their keys are in the
// configuration's mqtt: mapping.
[[nodiscard]] QList<MqttOptionDecl> mqttOptionDecls();

// The rules between the options, then mqttTopicsProblem(); the reason when they break one.
[[nodiscard]] std::optional<QString> completeMqttOptions(MqttOptions& mqtt);
// Sets the default base topic for the host if none is; the reason when the base would write where others
// read.
[[nodiscard]] std::optional<QString> mqttTopicsProblem(MqttOptions& mqtt);

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; fills host, port, tls and url.
[[nodiscard]] std::optional<MqttOptions> parseMqttUrl(const QString& text);
// Reads the password file and checks the CA file; the reason when either is no good.
[[nodiscard]] std::optional<QString> loadMqttFiles(MqttOptions& mqtt);

} // namespace quorvel::service
