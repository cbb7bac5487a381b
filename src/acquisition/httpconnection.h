#pragma once

#include "acquisition/httpresponseparser.h"

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
    [[nodiscard]] bool isInFlight() const { return m_inFlight; }
    // Whether a status line of the answer to the current request arrived.
    [[nodiscard]] bool answerStarted() const { return m_parser.hasStatus(); }
    // The complete answer after answered(), until the next send().
    [[nodiscard]] const HttpResponseParser& answer() const { return m_parser; }

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
        HttpConnection& m_connection;
    };

    void onSocketSignal(quint64 connection, Handler handler);
    void runDeferredSignals();
    void openConnection();
    void sendRequest();
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
    int m_busy = 0;
    QList<std::pair<quint64, Handler>> m_deferred;
    bool m_deferredPosted = false;
    SocketFactory m_socketFactory;

    // The connection: numbered, so that a signal of an older socket (which a new one may share an address
    // with) is recognised as stale.
    QTcpSocket* m_socket = nullptr;
    quint64 m_connection = 0;
    quint64 m_lastConnection = 0;
    QString m_host; // where m_socket leads, lower case
    int m_port = 0;
    bool m_served = false; // m_socket already carried a whole answer

    // The request in flight.
    HttpResponseParser m_parser;
    QByteArray m_request;       // kept for the one retry
    bool m_inFlight = false;    // sent and its answer not complete
    bool m_reused = false;      // went out on a kept-alive connection
    bool m_answerBytes = false; // any byte of its answer arrived
    bool m_retried = false;
};

} // namespace quorvel::acquisition
