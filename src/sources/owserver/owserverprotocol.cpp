#include "owserverprotocol.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace quorvel::acquisition::owserver {

namespace {

void appendField(QByteArray& out, qint32 value)
{
    char field[4];
    qToBigEndian(value, field);
    out.append(field, 4);
}

qint32 field(const QByteArray& header, int index)
{
    return qFromBigEndian<qint32>(header.constData() + 4 * index);
}

// The codes a server returns that its own table names (the errno-like ones with their usual numbers).
constexpr std::array<std::pair<qint32, const char*>, 14> ErrorTexts = {{
    {1, "not found"},
    {2, "no such entity"},
    {5, "I/O error"},
    {11, "temporarily unavailable"},
    {13, "access denied"},
    {16, "busy"},
    {19, "no such device"},
    {21, "is a directory"},
    {22, "invalid request"},
    {30, "read-only"},
    {41, "device not found"},
    {43, "device error"},
    {44, "bus short"},
    {47, "bus not responding"},
}};

} // namespace

QByteArray encodeRequest(MessageType type, QByteArrayView path, QByteArrayView data)
{
    QByteArray payload = path.toByteArray();
    payload.append('\0');
    payload.append(data);
    QByteArray out;
    out.reserve(HeaderBytes + payload.size());
    appendField(out, 0);
    appendField(out, qint32(payload.size()));
    appendField(out, qint32(type));
    appendField(out, RequestFlags);
    // A write's size is its data's; a read or listing's the most it takes back.
    appendField(out, type == MessageType::Write ? qint32(data.size()) : MaxReplyPayload);
    appendField(out, 0);
    out.append(payload);
    return out;
}

qsizetype ReplyDecoder::fail(QString reason, qsizetype used)
{
    state_ = State::Failed;
    failure_ = std::move(reason);
    return used;
}

qsizetype ReplyDecoder::feed(QByteArrayView bytes)
{
    qsizetype used = 0;
    while (state_ == State::Reading && used < bytes.size()) {
        started_ = true;
        if (!inPayload_) {
            const qsizetype take = std::min<qsizetype>(HeaderBytes - header_.size(), bytes.size() - used);
            header_.append(bytes.sliced(used, take));
            used += take;
            if (header_.size() < HeaderBytes)
                break;
            const qint32 version = field(header_, 0);
            payload_ = field(header_, 1);
            reply_.ret = field(header_, 2);
            reply_.flags = field(header_, 3);
            size_ = field(header_, 4);
            header_.clear();
            if (version != 0)
                return fail(QStringLiteral("not a 1-Wire server's reply (version field %1)").arg(version),
                            used);
            if (payload_ == -1) {
                ++keepAlives_;
                continue;
            }
            if (payload_ < 0)
                return fail(QStringLiteral("not a 1-Wire server's reply (payload length %1)").arg(payload_),
                            used);
            if (payload_ > maxPayload_)
                return fail(QStringLiteral("a reply of %1 bytes, more than the %2 accepted")
                                .arg(payload_)
                                .arg(maxPayload_),
                            used);
            if (size_ < 0)
                return fail(QStringLiteral("not a 1-Wire server's reply (size %1)").arg(size_), used);
            inPayload_ = true;
        }
        const qsizetype take = std::min<qsizetype>(payload_ - body_.size(), bytes.size() - used);
        body_.append(bytes.sliced(used, take));
        used += take;
        if (body_.size() == payload_) {
            // The size is the data's within the payload; a write's reply echoes the size written, with no
            // payload at all.
            reply_.data = reply_.ret >= 0 ? body_.first(std::min(size_, payload_)) : QByteArray();
            state_ = State::Complete;
        }
    }
    return used;
}

QStringList listingEntries(const Reply& reply)
{
    QByteArray text = reply.data;
    if (const qsizetype end = text.indexOf('\0'); end >= 0)
        text.truncate(end);
    QStringList out;
    for (const QByteArray& entry : text.split(','))
        if (!entry.isEmpty())
            out.append(QString::fromUtf8(entry));
    return out;
}

std::optional<float> readNumber(QByteArrayView text)
{
    const QByteArray trimmed = text.trimmed().toByteArray();
    bool ok = false;
    const auto value = float(trimmed.toDouble(&ok));
    // toDouble also takes "nan" and "inf", which no thermometer says.
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

bool isNotFound(qint32 ret)
{
    // A server answers -1 for a path that names nothing it has (measured); ENOENT, ENODEV and its own
    // "device not found" say the same.
    return ret == -1 || ret == -2 || ret == -19 || ret == -41;
}

QString errorReason(qint32 ret)
{
    const qint64 code = -qint64(ret);
    for (const auto& [number, text] : ErrorTexts)
        if (number == code)
            return QStringLiteral("error %1 (%2)").arg(code).arg(QLatin1String(text));
    return QStringLiteral("error %1").arg(code);
}

} // namespace quorvel::acquisition::owserver
