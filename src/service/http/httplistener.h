#pragma once

#include "service/http/httprequesthead.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>

#include <deque>
#include <functional>
#include <optional>
#include <unordered_map>

class QSslConfiguration;
class QTcpServer;
class QTcpSocket;
class QTimer;

namespace quorvel::service {

// What one client can cost the listener, whatever it sends. The defaults are the service's; a test
// scales them down.
struct HttpLimits {
    // Open connections in all: a scraper needs one, a browser six, and a full cap refuses no one, it
    // closes the quietest. Small, because the event loop polls every socket at each of its turns: 32 or
    // 64 held cost the sweep a fifth of its pace at full speed, 16 under a twentieth (bench/run, figure
    // 9). Counted in the service's descriptor budget (src/service/app/descriptorbudget.h) beside the
    // sources'.
    int maxConnections = 16;
    // Of them from one address, so that one host recycles its own connections, never the others'.
    int maxPerAddress = 8;
    // Request line and headers: a scraper sends some 200 bytes, a browser rarely 2 KiB.
    qsizetype maxHeadBytes = 8192;
    // From a request's first byte to its end: ample for any client, short for one byte every few seconds.
    int headTimeoutMs = 5000;
    // A kept-alive connection without a request: longer than a scraper's interval (the README's 30 s),
    // so the connection is reused; idle ones make room first when the cap is reached anyway.
    int idleTimeoutMs = 60000;
    // An answer still in the process this long after it was rendered: the client does not read; drop it.
    int writeTimeoutMs = 10000;
    // What the kernel holds per connection of answers sent and not yet read (SO_SNDBUF): a few answers.
    int sendBufferBytes = 65536;
    // After an answer that closes the connection, what the client still sends is read and dropped for
    // this long and up to this much, so that closing with unread bytes does not reset the answer away.
    int lingerMs = 1000;
    qsizetype lingerBytes = 65536;
    // Connections the kernel queues until they are accepted: a burst waits there rather than being
    // dropped, which would cost a good client the second until its connect is tried again.
    int listenBacklog = 1024;
    // When the system refuses to accept (no descriptor left), accepting is tried again after this.
    int acceptRetryMs = 100;
    // What all clients together may have sent a second, each answer counted as its bytes and a fixed
    // share for the request's own work: beyond it requests wait their turn, first come first served. The
    // loop's time for answers is then bounded whatever the clients, some 3 % at full speed (bench/run,
    // figure 9), and a scraper's or a browser's answer waits a fraction of a second at most.
    qint64 answerBytesPerSecond = 4 << 20;
    qsizetype answerOverheadBytes = 8192;
    // A streamed answer's next chunk is made only while the process holds less than this of it unsent: its
    // memory stays the same whatever its length, and a client that does not read holds one chunk.
    qint64 streamHeldBytes = 65536;
};

// A small HTTP/1.1 server in the event loop's thread: GET and HEAD on a table of paths, 404 and 405
// otherwise. A request is read only once the answer before it has left the process, from a buffer of
// maxHeadBytes, so a client that does not read stops being read; no request body is accepted. When a cap
// on connections is reached, the connection that has been quiet longest (of that address, for the
// per-address cap) is closed to make room, one being answered only when there is no other: a client that
// sends its request at once is served.
class HttpListener final : public QObject {
    Q_OBJECT
public:
    struct Answer {
        Answer() = default;
        Answer(int status, QByteArray contentType, QList<std::pair<QByteArray, QByteArray>> headers = {},
               QByteArray body = {})
            : status(status), contentType(std::move(contentType)), headers(std::move(headers)),
              body(std::move(body))
        {
        }
        int status = 200;
        QByteArray contentType;
        QList<std::pair<QByteArray, QByteArray>> headers; // more of them, after the content type
        QByteArray body;
        // Makes the body a chunk at a time instead, each asked once the one before has nearly left: an
        // empty chunk ends it, nothing means it failed and the connection is closed. Sent chunked to
        // HTTP/1.1, to HTTP/1.0 up to the connection's close; never called for HEAD.
        using Producer = std::function<std::optional<QByteArray>()>;
        Producer producer;
    };
    // Renders the answer to GET and HEAD of one path (HEAD sends its headers only).
    using Handler = std::function<Answer(const HttpRequestHead&)>;

    explicit HttpListener(HttpLimits limits = {}, QObject* parent = nullptr);

    void addRoute(const QByteArray& path, Handler handler);
    // Headers every answer carries, the refusals too.
    void setCommonHeaders(QList<std::pair<QByteArray, QByteArray>> headers) { common_ = std::move(headers); }
    // Speaks TLS with this certificate and key on every connection accepted from now on; each handshake
    // runs alongside the others and must end within the head's time-out.
    void setTls(const QSslConfiguration& configuration);
    // Asks for a login: a request whose Authorization header the check has not allowed is answered 401.
    // While the check works out a new header, the connection is not read further.
    using Verdict =
        std::function<std::optional<bool>(const QByteArray& authorization, const QHostAddress& peer)>;
    void setAuthorization(Verdict verdict, QByteArray realm);
    // A verdict that was pending is known now: the connections that wait for it go on.
    void resumeWaiting();

    // Binds the address given and nothing else. The bound port, or the system's reason.
    struct Bound {
        quint16 port = 0;
        QString error;
    };
    [[nodiscard]] Bound listen(const QHostAddress& address, quint16 port);

    [[nodiscard]] int connectionCount() const { return int(connections_.size()); }
    [[nodiscard]] const HttpLimits& limits() const { return limits_; }

private:
    struct Connection {
        enum class Phase { Handshaking, Waiting, Receiving, Answering, Lingering };
        QHostAddress peer;
        QTimer* deadline = nullptr; // the socket's child
        QByteArray pending;         // bytes read and not yet taken by a request, at most maxHeadBytes
        qsizetype scanned = 0;      // of them, searched for the head's end already
        qint64 lastHeardMs = 0;     // when the client last sent or took bytes, for choosing whom to close
        qsizetype lingered = 0;
        Phase phase = Phase::Waiting;
        bool closeAfter = false;
        bool awaitingVerdict = false; // its head waits in pending for the login's check
        bool queued = false;          // its head waits in pending for the answers' budget
        bool granted = false;         // its turn has come: the next answer goes out whatever the queue
        Answer::Producer producer;    // of the answer being streamed; released when the connection goes
        bool chunked = false;         // its chunks framed for HTTP/1.1
        bool streamWaiting = false;   // its next chunk waits for the answers' budget
    };

    void setUp(QTcpServer* server);
    void acceptPending();
    void admit(QTcpSocket* socket);
    void shookHands(QTcpSocket* socket);
    // Closes the connection quiet longest, of this address if given.
    void makeRoom(const QHostAddress* of);
    // Reads and answers what the client sent; resumed marks the call after an answer has left.
    void serve(QTcpSocket* socket, bool resumed);
    // Whether an answer may go out now; if not, the connection waits in the queue for its turn.
    [[nodiscard]] bool takeTurn(QTcpSocket* socket, Connection& c);
    // The answers' budget brought up to now.
    void refillBudget();
    // Sends a streamed answer's next chunks while little of it is held unsent and the budget allows.
    void pump(QTcpSocket* socket, Connection& c);
    void serveQueued();
    void written(QTcpSocket* socket);
    // What the process still holds of the answers, the TLS layer's records included.
    [[nodiscard]] static qint64 unsent(const QTcpSocket* socket);
    [[nodiscard]] Answer route(const HttpRequestHead& head) const;
    void send(QTcpSocket* socket, Connection& c, const Answer& answer, const HttpRequestHead* head,
              bool close);
    void refuse(QTcpSocket* socket, Connection& c, int status);
    void linger(QTcpSocket* socket, Connection& c);
    void close(QTcpSocket* socket);

    HttpLimits limits_;
    QTcpServer* server_ = nullptr;
    QHash<QByteArray, Handler> routes_;
    QList<std::pair<QByteArray, QByteArray>> common_;
    Verdict verdict_;
    QByteArray realm_;
    std::unordered_map<QTcpSocket*, Connection> connections_;
    QElapsedTimer clock_;
    // The answers' budget: bytes that may still go out, refilled with time, below zero after a large answer.
    double budget_ = 0;
    qint64 budgetAtMs_ = 0;
    std::deque<QTcpSocket*> queue_;
    QTimer* queueTimer_ = nullptr;
};

} // namespace quorvel::service
