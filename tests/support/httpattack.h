#pragma once

#include <QByteArray>
#include <QMetaType>

#include <atomic>
#include <thread>

namespace quorvel::testing {

// A client that tries to exhaust an HTTP listener on 127.0.0.1. Shared by the listener's test (bounds
// scaled down) and bench/run (the real service, full size).
struct AttackShape {
    enum class Kind {
        PipelinedUnread, // count GETs on one connection, nothing read back
        HugeHeader,      // one request whose header is bytes long, then its answer read
        SlowBytes,       // count connections, each sending a byte every intervalMs (0: nothing at all)
        Http10,          // count HTTP/1.0 requests, each on its own connection, intervalMs apart
        ClosedAtOnce,    // count connections closed before sending anything, by FIN and by RST in turn
        HeadsUnread,     // count connections, each with as many HEADs pipelined as fit, nothing read back
        Flood,           // count keep-alive connections from 127.0.0.2, each asking again once answered
    };
    Kind kind = Kind::PipelinedUnread;
    int count = 1;
    qint64 bytes = 0;
    int intervalMs = 0;
    // SlowBytes: the connections come from 127.0.0.2 onwards, this many addresses in turn.
    int addresses = 1;
    // The listener speaks TLS: the good scraper does too, the attack stays below it.
    bool tls = false;
    // What HeadsUnread and Flood ask for.
    const char* path = "/metrics";
};

// What an attack saw. Connections the listener closed are opened again (SlowBytes), so the pressure
// stays up however the listener makes room.
struct AttackCounts {
    std::atomic<qint64> closedByServer{0};
    std::atomic<qint64> answers{0};           // status lines read (HugeHeader, Http10, Flood)
    std::atomic<qint64> closedAfterAnswer{0}; // Http10: the end came within 1 s of the answer
    std::atomic<int> lastStatus{0};
    std::atomic<qint64> longestHeldMs{0}; // the longest a connection stayed open (SlowBytes)
    std::atomic<qint64> bytesRead{0};     // Flood
};

// Runs the shape in a thread of its own from construction until destruction.
class HttpAttack {
public:
    HttpAttack(quint16 port, AttackShape shape);
    // Ends the attack and closes its connections; the counts are final from then on.
    void stop();
    [[nodiscard]] const AttackCounts& counts() const { return counts_; }

private:
    void run(const std::stop_token& stop);
    void flood(const std::stop_token& stop);

    quint16 port_;
    AttackShape shape_;
    AttackCounts counts_;
    std::jthread thread_; // last: stopped and joined first
};

// A good scraper: GET of one path on a fresh connection every intervalMs, in a thread of its own,
// timing each from the connect to the end of the answer (given up after 5 s). Over TLS it takes any
// certificate.
class GoodScraper {
public:
    GoodScraper(quint16 port, QByteArray path, int intervalMs, bool tls = false);
    [[nodiscard]] qint64 answers() const { return answers_; }
    [[nodiscard]] qint64 failures() const { return failures_; }
    [[nodiscard]] double slowestMs() const { return slowestUs_ / 1000.0; }

private:
    std::atomic<qint64> answers_{0};
    std::atomic<qint64> failures_{0};
    std::atomic<qint64> slowestUs_{0};
    std::jthread thread_;
};

} // namespace quorvel::testing

Q_DECLARE_METATYPE(quorvel::testing::AttackShape)
