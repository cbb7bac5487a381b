#pragma once

#include "sources/owserver/owserverprotocol.h"
#include "scriptedserver.h"

#include <QList>
#include <QtEndian>

// The 1-Wire server's side of its protocol, for a ScriptedServer that plays one: replies as bytes, requests
// framed and read back as paths.
namespace quorvel::testing::owserverframes {

using namespace quorvel::acquisition::owserver;

inline QByteArray header(qint32 payload, qint32 ret, qint32 flags = RequestFlags, qint32 size = 0)
{
    QByteArray out(HeaderBytes, '\0');
    const qint32 fields[] = {0, payload, ret, flags, size, 0};
    for (int i = 0; i < 6; ++i)
        qToBigEndian(fields[i], out.data() + 4 * i);
    return out;
}

// A value; a server that does not keep the connection leaves the persistence flag out.
inline QByteArray value(const QByteArray& text, bool keep = true)
{
    const auto size = qint32(text.size());
    return header(size, size, keep ? RequestFlags : FlagOwnet, size) + text;
}

inline QByteArray error(qint32 ret)
{
    return header(0, ret);
}

// What the server sends while it works on a request.
inline const QByteArray KeepAlive = header(-1, 0);

inline qsizetype requestEnd(const QByteArray& bytes)
{
    if (bytes.size() < HeaderBytes)
        return -1;
    const qsizetype whole = HeaderBytes + qFromBigEndian<qint32>(bytes.constData() + 4);
    return bytes.size() < whole ? -1 : whole;
}

// Every request's path, a write's data after a blank ("/simultaneous/temperature 1").
inline QList<QByteArray> paths(const ScriptedServer& server)
{
    QList<QByteArray> out;
    for (const QByteArray& request : server.heads()) {
        const QByteArray body = request.mid(HeaderBytes);
        const QByteArray path = body.left(body.indexOf('\0'));
        const bool write = qFromBigEndian<qint32>(request.constData() + 8) == qint32(MessageType::Write);
        out.append(write ? path + ' ' + body.mid(path.size() + 1) : path);
    }
    return out;
}

} // namespace quorvel::testing::owserverframes
