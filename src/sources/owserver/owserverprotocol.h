#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <optional>

// The 1-Wire server's TCP protocol as pure functions, no I/O: a message is a header of six 32-bit
// big-endian fields (version, payload length, type or return value, flags, size, offset) and a payload.
namespace quorvel::acquisition::owserver {

enum class MessageType : qint32 { Read = 2, Write = 3, DirAll = 7 };

inline constexpr int HeaderBytes = 24;
// Every request asks to keep the connection (granted when the reply carries the flag back), values in
// degrees Celsius (scale bits zero) and IDs as family.serial (format bits zero).
inline constexpr qint32 FlagPersistent = 0x04;
inline constexpr qint32 FlagOwnet = 0x100;
inline constexpr qint32 RequestFlags = FlagOwnet | FlagPersistent;
// A temperature is a dozen bytes and a listing of a hundred sensors under 2 KB: a longer reply is not one
// this reader asked for, and is refused before it is held.
inline constexpr qint32 MaxReplyPayload = 65536;

[[nodiscard]] QByteArray encodeRequest(MessageType type, QByteArrayView path, QByteArrayView data = {});

struct Reply {
    // Negative: the server's error (an errno-like code); otherwise the length of the data.
    qint32 ret = 0;
    qint32 flags = 0;
    QByteArray data;

    [[nodiscard]] bool persistent() const { return (flags & FlagPersistent) != 0; }
};

// Reads one reply from bytes fed as they arrive, in pieces of any size, waiting through the server's
// keep-alive messages (payload length -1) sent while it works.
class ReplyDecoder {
public:
    enum class State { Reading, Complete, Failed };

    explicit ReplyDecoder(qint32 maxPayload = MaxReplyPayload) : maxPayload_(maxPayload) {}

    // Takes bytes and returns how many belong to this reply: fewer than given only once it is complete or
    // has failed.
    qsizetype feed(QByteArrayView bytes);

    [[nodiscard]] State state() const { return state_; }
    // Whether any byte came, a keep-alive included.
    [[nodiscard]] bool started() const { return started_; }
    [[nodiscard]] int keepAlives() const { return keepAlives_; }
    [[nodiscard]] const Reply& reply() const { return reply_; }
    [[nodiscard]] const QString& failure() const { return failure_; }

private:
    qsizetype fail(QString reason, qsizetype used);

    qint32 maxPayload_;
    State state_ = State::Reading;
    bool started_ = false;
    int keepAlives_ = 0;
    QByteArray header_;
    qint32 payload_ = 0;
    qint32 size_ = 0;
    bool inPayload_ = false;
    QByteArray body_;
    Reply reply_;
    QString failure_;
};

// The entries of a directory listing, each as the server wrote it ("/28.674523010000").
[[nodiscard]] QStringList listingEntries(const Reply& reply);

// A read value: a decimal number, blanks around it allowed.
[[nodiscard]] std::optional<float> readNumber(QByteArrayView text);

// Whether an error return says the path names nothing the server has: the sensor is not there.
[[nodiscard]] bool isNotFound(qint32 ret);
// The error return in words, its code with it.
[[nodiscard]] QString errorReason(qint32 ret);

} // namespace quorvel::acquisition::owserver
