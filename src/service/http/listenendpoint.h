#pragma once

#include <QHostAddress>

namespace quorvel::service {

// Where the listener serves the page and the metrics: an IPv4 address and a port (0 lets the system pick
// one).
struct ListenEndpoint {
    QHostAddress address;
    quint16 port = 0;

    friend bool operator==(const ListenEndpoint&, const ListenEndpoint&) = default;
};

} // namespace quorvel::service
