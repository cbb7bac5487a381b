#include "fakeowserver.h"

#include <QTcpSocket>
#include <QtEndian>

namespace quorvel::testing {

namespace {

constexpr int HeaderBytes = 24;
constexpr qint32 Persistent = 0x04;

QByteArray header(qint32 payload, qint32 ret, qint32 flags, qint32 size)
{
    QByteArray out(HeaderBytes, '\0');
    const qint32 fields[] = {0, payload, ret, flags, size, 0};
    for (int i = 0; i < 6; ++i)
        qToBigEndian(fields[i], out.data() + 4 * i);
    return out;
}

} // namespace

FakeOwserver::FakeOwserver(QObject* parent) : QObject(parent)
{
    connect(&server_, &QTcpServer::newConnection, this, &FakeOwserver::accept);
}

FakeOwserver::~FakeOwserver()
{
    // The sockets go with the server, after the members their handlers use.
    for (QTcpSocket* socket : pending_.keys())
        socket->disconnect(this);
}

void FakeOwserver::closeConnections()
{
    for (QTcpSocket* socket : pending_.keys())
        socket->disconnectFromHost();
}

void FakeOwserver::accept()
{
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        ++connections_;
        pending_.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            pending_.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeOwserver::serve(QTcpSocket* socket)
{
    QByteArray& bytes = pending_[socket];
    bytes += socket->readAll();
    while (bytes.size() >= HeaderBytes) {
        const qint32 payload = qFromBigEndian<qint32>(bytes.constData() + 4);
        const qint32 type = qFromBigEndian<qint32>(bytes.constData() + 8);
        if (bytes.size() < HeaderBytes + payload)
            return;
        const QByteArray body = bytes.mid(HeaderBytes, payload);
        bytes.remove(0, HeaderBytes + payload);
        const QByteArray path = body.left(body.indexOf('\0'));
        // A write (type 3) carries its data after the path's terminating zero.
        requests_.append(type == 3 ? path + ' ' + body.mid(path.size() + 1) : path);
        reply(socket, path);
        if (!pending_.contains(socket))
            return;
    }
}

void FakeOwserver::reply(QTcpSocket* socket, const QByteArray& path)
{
    const Answer answer = answers_.value(path, error(-1));
    const qint32 flags = 0x100 | (keep_ ? Persistent : 0);
    for (int i = 0; i < answer.keepAlives; ++i)
        socket->write(header(-1, 0, flags, 0));
    const QByteArray whole =
        header(qint32(answer.value.size()), qint32(answer.value.size()), flags, qint32(answer.value.size())) +
        answer.value;
    switch (answer.kind) {
    case Answer::Kind::Value:
        socket->write(whole);
        break;
    case Answer::Kind::Error:
        socket->write(header(0, answer.ret, flags, 0));
        break;
    case Answer::Kind::Hang:
        return;
    case Answer::Kind::CloseMidReply:
        // A dozen bytes promised, two sent.
        socket->write(header(12, 12, flags, 12) + "  ");
        socket->disconnectFromHost();
        return;
    case Answer::Kind::CloseWithoutAnswer:
        socket->disconnectFromHost();
        return;
    case Answer::Kind::Garbage:
        socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
        break;
    case Answer::Kind::Oversized:
        socket->write(header(1 << 30, 1 << 30, flags, 1 << 30) + QByteArray(4096, 'x'));
        break;
    }
    if (!keep_)
        socket->disconnectFromHost();
}

} // namespace quorvel::testing
