#include "loginput.h"

#include <QFileInfo>

#include <zlib.h>

#include <cstdio>
#include <cstring>

namespace quorvel::logfile {

namespace {

constexpr qsizetype Chunk = qsizetype(1) << 20;

bool isGzip(QByteArrayView bytes)
{
    return bytes.size() >= 2 && quint8(bytes[0]) == 0x1f && quint8(bytes[1]) == 0x8b;
}

} // namespace

struct LogInput::Inflater {
    z_stream stream{};
    bool ended = false; // the last member ended and nothing followed

    Inflater() { inflateInit2(&stream, 15 + 16); }
    ~Inflater() { inflateEnd(&stream); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

LogInput::LogInput() = default;
LogInput::~LogInput() = default;

QString LogInput::open(const QString& path)
{
    path_ = path;
    standardInput_ = path == QLatin1String("-");
    if (standardInput_) {
        if (!file_.open(stdin, QIODevice::ReadOnly))
            return file_.errorString();
    } else {
        if (QFileInfo(path).isDir())
            return QStringLiteral("is a directory");
        file_.setFileName(path);
        if (!file_.open(QIODevice::ReadOnly))
            return file_.errorString();
    }
    raw_.resize(Chunk);
    const qint64 got = readRaw(raw_.data(), Chunk);
    if (got < 0)
        return file_.errorString();
    raw_.resize(got);
    checkedMagic_ = true;
    if (isGzip(raw_))
        inflater_ = std::make_unique<Inflater>();
    searchable_ = !standardInput_ && !inflater_ && !file_.isSequential();
    return {};
}

QString LogInput::reopen()
{
    if (!standardInput_) {
        file_.close();
        buffer_.clear();
        raw_.clear();
        start_ = 0;
        eof_ = skipLf_ = false;
        lineNumber_ = 0;
        position_ = 0;
        end_ = -1;
        inflater_.reset();
        error_.clear();
        return open(path_);
    }
    replaying_ = true;
    replayed_ = 0;
    keep_ = false;
    buffer_.clear();
    raw_.clear();
    start_ = 0;
    eof_ = skipLf_ = false;
    lineNumber_ = 0;
    error_.clear();
    raw_.resize(Chunk);
    const qint64 got = readRaw(raw_.data(), Chunk);
    raw_.resize(std::max<qint64>(got, 0));
    inflater_.reset();
    if (isGzip(raw_))
        inflater_ = std::make_unique<Inflater>();
    return {};
}

qint64 LogInput::readRaw(char* data, qint64 max)
{
    if (replaying_ && replayed_ < kept_.size()) {
        const qint64 n = std::min<qint64>(max, kept_.size() - replayed_);
        std::memcpy(data, kept_.constData() + replayed_, size_t(n));
        replayed_ += n;
        return n;
    }
    if (end_ >= 0)
        max = std::min<qint64>(max, end_ - position_);
    if (max <= 0)
        return 0;
    const qint64 got = file_.read(data, max);
    if (got > 0) {
        position_ += got;
        // A file is read again from the disk; keeping its bytes would hold all that the locale was
        // sought in.
        if (keep_ && standardInput_) {
            kept_.append(data, got);
            if (replaying_)
                replayed_ = kept_.size();
        }
    }
    return got;
}

qint64 LogInput::size() const
{
    return file_.size();
}

bool LogInput::fill()
{
    if (start_ > 0) {
        buffer_.remove(0, start_);
        start_ = 0;
    }
    for (;;) {
        if (raw_.isEmpty() && !(inflater_ && inflater_->ended)) {
            raw_.resize(Chunk);
            const qint64 got = readRaw(raw_.data(), Chunk);
            if (got < 0) {
                error_ = file_.errorString();
                raw_.clear();
                return false;
            }
            raw_.resize(got);
            if (got == 0) {
                if (inflater_ && inflater_->stream.total_in > 0 && !inflater_->ended)
                    error_ = QStringLiteral("the compressed data ends early");
                return false;
            }
        }
        if (!inflater_) {
            if (raw_.isEmpty())
                return false;
            buffer_ += raw_;
            raw_.resize(0); // keeps the allocation for the next chunk
            return true;
        }
        if (inflater_->ended)
            return false;
        z_stream& z = inflater_->stream;
        const qsizetype old = buffer_.size();
        buffer_.resize(old + Chunk);
        z.next_in = reinterpret_cast<Bytef*>(raw_.data());
        z.avail_in = uInt(raw_.size());
        z.next_out = reinterpret_cast<Bytef*>(buffer_.data() + old);
        z.avail_out = uInt(Chunk);
        const int rc = inflate(&z, Z_NO_FLUSH);
        buffer_.resize(old + (Chunk - qsizetype(z.avail_out)));
        raw_.remove(0, raw_.size() - qsizetype(z.avail_in));
        if (rc == Z_STREAM_END) {
            // Another member may follow, as when compressed files are joined; anything else ends the data.
            if (raw_.isEmpty()) {
                raw_.resize(Chunk);
                const qint64 got = readRaw(raw_.data(), Chunk);
                raw_.resize(std::max<qint64>(got, 0));
            }
            if (isGzip(raw_))
                inflateReset(&z);
            else
                inflater_->ended = true;
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            error_ = QStringLiteral("not readable as gzip: %1")
                         .arg(QString::fromLatin1(z.msg ? z.msg : "bad data"));
            return false;
        }
        if (buffer_.size() > old)
            return true;
    }
}

bool LogInput::nextLine(QByteArrayView& line, qsizetype& length)
{
    bool carrying = false;
    qsizetype carried = 0;
    const auto carry = [&](QByteArrayView piece) {
        const qsizetype room = MaxLineBytes + 1 - long_.size();
        if (room > 0)
            long_.append(piece.first(std::min(room, piece.size())));
        carried += piece.size();
    };
    long_.clear();
    for (;;) {
        if (skipLf_ && start_ < buffer_.size()) {
            if (buffer_[start_] == '\n')
                ++start_;
            skipLf_ = false;
        }
        const char* b = buffer_.constData();
        const qsizetype n = buffer_.size();
        qsizetype i = start_;
        while (i < n && b[i] != '\n' && b[i] != '\r')
            ++i;
        if (i < n || (eof_ && (start_ < n || carrying))) {
            const QByteArrayView piece(b + start_, i - start_);
            qsizetype next = i < n ? i + 1 : n;
            if (i < n && b[i] == '\r') {
                if (next < n) {
                    if (b[next] == '\n')
                        ++next;
                } else {
                    skipLf_ = true;
                }
            }
            start_ = next;
            ++lineNumber_;
            if (!carrying) {
                line = piece;
                length = piece.size();
                return true;
            }
            carry(piece);
            line = long_;
            length = carried;
            return true;
        }
        if (eof_)
            return false;
        if (carrying || n - start_ > MaxLineBytes) {
            carrying = true;
            carry(QByteArrayView(b + start_, n - start_));
            start_ = n;
        }
        if (!fill())
            eof_ = true;
    }
}

QByteArray LogInput::lineAfter(qint64 offset, qint64* lineStart)
{
    *lineStart = -1;
    QByteArray bytes;
    qint64 from = offset;
    if (offset > 0) {
        if (!file_.seek(offset - 1))
            return {};
        bytes = file_.read(64 * 1024);
        qsizetype i = 0;
        while (i < bytes.size() && bytes[i] != '\n' && bytes[i] != '\r')
            ++i;
        if (i == bytes.size())
            return {};
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            ++i;
        from = offset + i;
    }
    if (!file_.seek(from))
        return {};
    bytes = file_.read(MaxLineBytes + 2);
    file_.seek(position_);
    qsizetype end = 0;
    while (end < bytes.size() && bytes[end] != '\n' && bytes[end] != '\r')
        ++end;
    if (end == bytes.size() && bytes.size() > MaxLineBytes)
        return {};
    *lineStart = from;
    return bytes.left(end);
}

void LogInput::setRange(qint64 offset, qint64 end)
{
    raw_.clear();
    buffer_.clear();
    start_ = 0;
    eof_ = skipLf_ = false;
    file_.seek(offset);
    position_ = offset;
    end_ = end;
}

} // namespace quorvel::logfile
