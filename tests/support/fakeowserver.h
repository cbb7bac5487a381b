#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

namespace quorvel::testing {

// A 1-Wire server on 127.0.0.1 that answers each path as told, for the faults a real one cannot be made to
// give: no answer, a close in the middle of a reply, garbage, an oversized or a malformed reply. It records
// every request's path and counts connections.
class FakeOwserver : public QObject {
    Q_OBJECT
public:
    struct Answer {
        enum class Kind { Value, Error, Hang, CloseMidReply, CloseWithoutAnswer, Garbage, Oversized };
        Kind kind = Kind::Value;
        QByteArray value;
        // Kind::Error's return value.
        qint32 ret = -1;
        // Keep-alive messages sent before the reply.
        int keepAlives = 0;
    };
    static Answer value(QByteArray text, int keepAlives = 0)
    {
        return {Answer::Kind::Value, text, 0, keepAlives};
    }
    static Answer error(qint32 ret) { return {Answer::Kind::Error, {}, ret}; }
    static Answer of(Answer::Kind kind) { return {kind, {}}; }

    explicit FakeOwserver(QObject* parent = nullptr);
    ~FakeOwserver() override;

    bool listen() { return server_.listen(QHostAddress::LocalHost, 0); }
    [[nodiscard]] quint16 port() const { return server_.serverPort(); }
    // A path not told is not found (return value -1, as the real server answers).
    void answer(const QByteArray& path, Answer answer) { answers_.insert(path, answer); }
    // Whether replies grant the kept connection; when not, each is followed by a close.
    void setKeepConnections(bool keep) { keep_ = keep; }
    // Closes every open connection, as the server's inactivity limit does.
    void closeConnections();

    [[nodiscard]] int connections() const { return connections_; }
    // Every request's path, a write's data after a blank ("/simultaneous/temperature 1").
    [[nodiscard]] const QList<QByteArray>& requests() const { return requests_; }

private:
    void accept();
    void serve(QTcpSocket* socket);
    void reply(QTcpSocket* socket, const QByteArray& path);

    QTcpServer server_;
    QHash<QByteArray, Answer> answers_;
    QHash<QTcpSocket*, QByteArray> pending_;
    QList<QByteArray> requests_;
    bool keep_ = true;
    int connections_ = 0;
};

} // namespace quorvel::testing
