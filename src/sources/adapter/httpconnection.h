#pragma once

#include "httpresponseparser.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <utility>

class QTcpSocket;

namespace quorvel::acquisition {

// One HTTP/1.1 connection at a time, kept alive between requests to the same host and port, driven by
// the socket's signals in the caller's thread. Each request ends in exactly one answered() or failed(),
// never from inside a call of ours: a socket may signal from inside connect, write or abort, and such a
// signal is handled only after the outermost call of ours has returned, so no handler ever drops or
// resets a socket or parser that a caller on the stack still uses.
class HttpConnection final : public QObject {
    Q_OBJECT
public:
    using SocketFactory = std::function<QTcpSocket*(QObject* parent)>;

    explicit HttpConnection(QObject* parent = nullptr);
    ~HttpConnection() override;

    // Sends the request bytes to host:port, over the open connection when it leads there, else over a
    // fresh one; a request still in flight is abandoned first. The answer may hold at most maxBodyBytes.
    void send(const QString& host, int port, const QByteArray& request, qint64 maxBodyBytes);
    // Gives up the request in flight; its connection goes with it, as its answer would otherwise arrive
    // into the next request. No signal follows.
    void abandon();
    [[nodiscard]] bool isInFlight() const { return inFlight_; }
    // Whether a status line of the answer to the current request arrived.
    [[nodiscard]] bool answerStarted() const { return parser_.hasStatus(); }
    // The complete answer after answered(), until the next send().
    [[nodiscard]] const HttpResponseParser& answer() const { return parser_; }

    // Makes the sockets; tests substitute sockets that fail inside our own calls.
    void setSocketFactory(SocketFactory factory);

    [[nodiscard]] static QString tooLargeReason(qint64 maxBodyBytes);

signals:
    void answered();
    // answerStarted: a status line had arrived, so the peer did answer.
    void failed(const QString& reason, bool answerStarted);

private:
    using Handler = void (HttpConnection::*)();
    // Marks a call of ours on the stack for as long as it lives.
    class Busy {
    public:
        explicit Busy(HttpConnection& connection);
        ~Busy();
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        HttpConnection& connection_;
    };

    void onSocketSignal(quint64 connection, Handler handler);
    void runDeferredSignals();
    void openConnection();
    void sendRequest();
    void writeRequest();
    void onConnected();
    void onReadyRead();
    void onConnectionEnded();
    bool readAnswer(const QByteArray& bytes);
    void finishAnswer(bool connectionUsable);
    void fail(const QString& reason);
    void dropConnection();
    [[nodiscard]] static QString connectionErrorReason(QAbstractSocket::SocketError error,
                                                       const QString& text);

    // The dispatcher: socket signals of calls of ours on the stack wait here.
    int busy_ = 0;
    QList<std::pair<quint64, Handler>> deferred_;
    bool deferredPosted_ = false;
    SocketFactory socketFactory_;

    // The connection: numbered, so that a signal of an older socket (which a new one may share an address
    // with) is recognised as stale.
    QTcpSocket* socket_ = nullptr;
    quint64 connection_ = 0;
    quint64 lastConnection_ = 0;
    QString host_; // where socket_ leads, lower case
    int port_ = 0;
    bool served_ = false; // socket_ already carried a whole answer

    // The request in flight.
    HttpResponseParser parser_;
    QByteArray request_;       // kept for the one retry
    bool inFlight_ = false;    // sent and its answer not complete
    bool reused_ = false;      // went out on a kept-alive connection
    bool answerBytes_ = false; // any byte of its answer arrived
    bool retried_ = false;
};

} // namespace quorvel::acquisition
