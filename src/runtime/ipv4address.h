#pragma once

#include <QString>

#include <optional>

namespace quorvel::runtime {

struct Ipv4HostPort {
    QString host;
    std::optional<quint16> port; // nothing when the text gave none
};

// A dotted-quad IPv4 address with an optional ":port" (1 to 65535), no leading zeros; nothing when the text
// is not of that form.
[[nodiscard]] std::optional<Ipv4HostPort> parseIpv4HostPort(const QString& text);

} // namespace quorvel::runtime
