#pragma once

#include <QByteArray>
#include <QString>

namespace quorvel::service {

// One message to publish: the client knows topics and payloads, never what they mean.
struct MqttMessage {
    QString topic;
    QByteArray payload;
    bool retain = true;

    friend bool operator==(const MqttMessage&, const MqttMessage&) = default;
};

} // namespace quorvel::service
