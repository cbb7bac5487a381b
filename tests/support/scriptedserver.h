#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

namespace quorvel::testing {

// A server on 127.0.0.1 that answers the n-th request it receives with the n-th reply of its script (the
// last one repeats; none at all: no answer), for tests that need a peer to misbehave in a precise way. A
// request is an HTTP head unless setRequestEnd() frames it otherwise. It records every request and counts
// connections.
class ScriptedServer : public QObject {
    Q_OBJECT
public:
    struct Reply {
        // Sent as is; "%PORT%" becomes the listening port.
        QByteArray bytes;
        // Close the connection after the answer. An empty reply that closes is a close without an answer;
        // one that keeps the connection is no answer at all.
        bool close = true;
        // The answer split into this many pieces, sent this far apart.
        int pieces = 1;
        int pieceDelayMs = 0;
    };
    static Reply closing(QByteArray bytes) { return {std::move(bytes), true}; }
    static Reply keepingOpen(QByteArray bytes) { return {std::move(bytes), false}; }
    static Reply closeWithoutAnswer() { return {{}, true}; }
    static Reply noAnswer() { return {{}, false}; }

    explicit ScriptedServer(QList<Reply> script, QObject* parent = nullptr);
    ~ScriptedServer() override;
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // How long the first request in the bytes received so far is; -1 while it is not whole.
    using RequestEnd = std::function<qsizetype(const QByteArray&)>;
    void setRequestEnd(RequestEnd end) { requestEnd_ = std::move(end); }

    bool listen(quint16 port = 0) { return server_.listen(QHostAddress::LocalHost, port); }
    [[nodiscard]] quint16 port() const { return server_.serverPort(); }
    [[nodiscard]] int connections() const { return connections_; }
    [[nodiscard]] int openConnections() const { return open_; }
    [[nodiscard]] int requests() const { return int(heads_.size()); }
    // Closes every open connection, as a server's idle limit does.
    void closeConnections();
    // Every request received, as it came over the wire (an HTTP head with its blank line).
    [[nodiscard]] const QList<QByteArray>& heads() const { return heads_; }
    // The first line of every request.
    [[nodiscard]] QList<QByteArray> requestLines() const;

    // A loopback port nobody listens on at the moment of asking.
    [[nodiscard]] static quint16 unusedPort();

private:
    struct Connection {
        QByteArray pending;
        bool sending = false;
    };
    void accept();
    void answer(QTcpSocket* socket);
    void send(QTcpSocket* socket, const Reply& reply, QByteArray bytes, int piece);

    QTcpServer server_;
    QList<Reply> script_;
    RequestEnd requestEnd_;
    QHash<QTcpSocket*, Connection> bySocket_;
    QList<QByteArray> heads_;
    int connections_ = 0;
    int open_ = 0;
};

} // namespace quorvel::testing
