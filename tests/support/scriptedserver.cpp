#include "scriptedserver.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace quorvel::testing {

ScriptedServer::ScriptedServer(QList<Reply> script, QObject* parent)
    : QObject(parent), script_(std::move(script)), requestEnd_([](const QByteArray& bytes) {
          const qsizetype blank = bytes.indexOf("\r\n\r\n");
          return blank < 0 ? blank : blank + 4;
      })
{
    if (script_.isEmpty())
        script_.append(noAnswer());
    connect(&server_, &QTcpServer::newConnection, this, &ScriptedServer::accept);
}

ScriptedServer::~ScriptedServer()
{
    // The connections close as the listening server takes them down, after this object's own members.
    for (QTcpSocket* socket : bySocket_.keys())
        socket->disconnect(this);
}

QList<QByteArray> ScriptedServer::requestLines() const
{
    QList<QByteArray> lines;
    for (const QByteArray& head : heads_)
        lines.append(head.left(head.indexOf("\r\n")));
    return lines;
}

void ScriptedServer::closeConnections()
{
    for (QTcpSocket* socket : bySocket_.keys())
        socket->disconnectFromHost();
}

quint16 ScriptedServer::unusedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

void ScriptedServer::accept()
{
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        ++connections_;
        ++open_;
        bySocket_.insert(socket, {});
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            --open_;
            bySocket_.remove(socket);
            socket->deleteLater();
        });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
    }
}

// One request at a time per connection: the next one waits until the answer before it is out.
void ScriptedServer::answer(QTcpSocket* socket)
{
    const auto it = bySocket_.find(socket);
    if (it == bySocket_.end())
        return;
    it->pending += socket->readAll();
    qsizetype end = -1;
    if (it->sending || socket->state() != QAbstractSocket::ConnectedState ||
        (end = requestEnd_(it->pending)) < 0)
        return;
    const qsizetype index = heads_.size();
    heads_.append(it->pending.left(end));
    it->pending.remove(0, end);
    const Reply& reply = script_.at(std::min<qsizetype>(index, script_.size() - 1));
    QByteArray bytes = reply.bytes;
    bytes.replace("%PORT%", QByteArray::number(port()));
    it->sending = true;
    send(socket, reply, bytes, 0);
}

void ScriptedServer::send(QTcpSocket* socket, const Reply& reply, QByteArray bytes, int piece)
{
    const int pieces = std::max(1, reply.pieces);
    const qsizetype size = (bytes.size() + pieces - 1) / pieces;
    socket->write(bytes.mid(piece * size, size));
    if (piece + 1 < pieces) {
        // The socket as context: a connection that goes away takes the rest of its answer with it.
        QTimer::singleShot(reply.pieceDelayMs, socket,
                           [this, socket, reply, bytes, piece] { send(socket, reply, bytes, piece + 1); });
        return;
    }
    if (reply.close) {
        socket->disconnectFromHost();
        return;
    }
    const auto it = bySocket_.find(socket);
    if (it == bySocket_.end())
        return;
    it->sending = false;
    // A reply that never comes keeps the connection quiet for good.
    if (bytes.isEmpty()) {
        it->sending = true;
        return;
    }
    if (requestEnd_(it->pending) >= 0)
        answer(socket);
}

} // namespace quorvel::testing
