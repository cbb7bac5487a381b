#pragma once

#include <QString>

#include <optional>

namespace quorvel::service {

// Where an output that writes the samples elsewhere stands, for the metrics and the page: the transport's
// state, not a sensor's.
struct OutputLink {
    QString name;
    QString target; // the server's address as the page shows it: never a credential
    // True while the other end takes what it is sent (its last answer was 2xx).
    bool up = false;
    // A few words for the page: "caught up", "catching up", "down: … (retried in 40 s)", "stopped: …".
    QString state;
    quint64 sent = 0;    // lines the other end took
    quint64 dropped = 0; // lines it refused as bad, each on its own
    quint64 lost = 0;    // lines folded away by the store before they could be sent
    qint64 backlog = 0;  // lines waiting
    // The time (UTC seconds) of the oldest sample waiting; nothing when none waits.
    std::optional<qint64> oldestUnsent;

    friend bool operator==(const OutputLink&, const OutputLink&) = default;
};

} // namespace quorvel::service
