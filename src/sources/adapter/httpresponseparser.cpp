#include "httpresponseparser.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace quorvel::acquisition {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int hexValue(char c)
{
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A header name is a token: no blank, no control character, no separator that would make it ambiguous.
bool isTokenName(QByteArrayView name)
{
    if (name.isEmpty())
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7f && !std::strchr("()<>@,;:\\\"/[]?={}", c);
    });
}

// The comma-separated items of every header with this name, trimmed and in lower case.
QList<QByteArray> tokensOf(const QList<QPair<QByteArray, QByteArray>>& headers, QByteArrayView name)
{
    QList<QByteArray> tokens;
    for (const auto& [key, value] : headers) {
        if (key != name)
            continue;
        for (const QByteArray& item : value.split(','))
            tokens.append(item.trimmed().toLower());
    }
    return tokens;
}

enum class Inflated { Done, Corrupt, TooLarge };

// A zlib stream as RFC 1950 frames it: a deflate method byte and a header that is a multiple of 31.
bool hasZlibHeader(QByteArrayView data)
{
    if (data.size() < 2)
        return false;
    const auto cmf = static_cast<unsigned char>(data[0]);
    const auto flg = static_cast<unsigned char>(data[1]);
    return (cmf & 0x0f) == Z_DEFLATED && (cmf * 256 + flg) % 31 == 0;
}

// windowBits as for inflateInit2: 15 + 16 gzip, 15 zlib, -15 raw deflate. Gzip members may follow one
// another; anything else after the end of the stream is damage. Stops as soon as the output passes the
// cap, so a small bomb costs no more than the cap.
Inflated inflateAll(QByteArrayView input, int windowBits, qint64 cap, QByteArray& output)
{
    z_stream stream{};
    if (inflateInit2(&stream, windowBits) != Z_OK)
        return Inflated::Corrupt;
    // The input is a body under the cap, well inside uInt.
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    std::array<char, 16384> buffer{};
    Inflated result = Inflated::Corrupt;
    for (;;) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
        stream.avail_out = static_cast<uInt>(buffer.size());
        const int status = inflate(&stream, Z_NO_FLUSH);
        // Z_BUF_ERROR: no progress possible, the stream is cut short.
        if (status != Z_OK && status != Z_STREAM_END)
            break;
        const auto produced = qsizetype(buffer.size() - stream.avail_out);
        if (output.size() + produced > cap) {
            result = Inflated::TooLarge;
            break;
        }
        output.append(buffer.data(), produced);
        if (status != Z_STREAM_END)
            continue;
        if (stream.avail_in == 0) {
            result = Inflated::Done;
            break;
        }
        if (windowBits <= 15 || inflateReset(&stream) != Z_OK)
            break;
    }
    inflateEnd(&stream);
    return result;
}

} // namespace

HttpResponseParser::HttpResponseParser(qint64 maxBodyBytes) : maxBodyBytes_(std::max<qint64>(maxBodyBytes, 0))
{
}

void HttpResponseParser::reset()
{
    *this = HttpResponseParser(maxBodyBytes_);
}

qsizetype HttpResponseParser::feed(QByteArrayView data)
{
    qsizetype pos = 0;
    QByteArray line;
    while (pos < data.size() && state_ != State::Complete && state_ != State::Failed) {
        if (state_ != State::Body && state_ != State::ChunkData) {
            if (!takeLine(data, pos, line))
                return pos;
            handleLine(line);
            continue;
        }
        const qsizetype available = data.size() - pos;
        const qsizetype take =
            framing_ == Framing::UntilClose ? available : qsizetype(std::min<qint64>(remaining_, available));
        appendBody(data.sliced(pos, take));
        pos += take;
        if (state_ == State::Failed || framing_ == Framing::UntilClose)
            continue;
        remaining_ -= take;
        if (remaining_ == 0)
            state_ = state_ == State::Body ? State::Complete : State::ChunkEnd;
    }
    return pos;
}

void HttpResponseParser::handleLine(const QByteArray& line)
{
    switch (state_) {
    case State::StatusLine:
        // Blank lines before a status line are left-overs of an earlier answer, not an answer.
        if (!line.isEmpty())
            parseStatusLine(line);
        break;
    case State::Headers:
        if (line.isEmpty())
            endOfHead();
        else
            parseHeaderLine(line);
        break;
    case State::ChunkSize:
        parseChunkSize(line);
        break;
    case State::ChunkEnd:
        if (line.isEmpty())
            state_ = State::ChunkSize;
        else
            fail(Failure::Malformed);
        break;
    case State::Trailers:
        // Trailer fields carry nothing the page needs.
        if (line.isEmpty())
            state_ = State::Complete;
        break;
    case State::Body:
    case State::ChunkData:
    case State::Complete:
    case State::Failed:
        break;
    }
}

void HttpResponseParser::finish()
{
    if (state_ == State::Body && framing_ == Framing::UntilClose)
        state_ = State::Complete;
    else if (state_ != State::Complete && state_ != State::Failed)
        fail(Failure::Truncated);
}

QByteArray HttpResponseParser::header(QByteArrayView name) const
{
    const QByteArray wanted = name.toByteArray().toLower();
    for (const auto& [key, value] : headers_) {
        if (key == wanted)
            return value;
    }
    return {};
}

bool HttpResponseParser::keepAlive() const
{
    if (closeAfter_)
        return false;
    const QList<QByteArray> options = tokensOf(headers_, "connection");
    if (options.contains("close"))
        return false;
    return minorVersion_ >= 1 || options.contains("keep-alive");
}

HttpResponseParser::Decoded HttpResponseParser::decodedBody() const
{
    using Outcome = Decoded::Outcome;
    Decoded decoded{Outcome::Decoded, body_, {}};
    QList<QByteArray> codings = tokensOf(headers_, "content-encoding");
    codings.removeIf([](const QByteArray& coding) { return coding.isEmpty() || coding == "identity"; });
    // The last coding applied is the first to undo.
    for (auto coding = codings.crbegin(); coding != codings.crend(); ++coding) {
        int windowBits = 0;
        if (*coding == "gzip" || *coding == "x-gzip")
            windowBits = 15 + 16;
        else if (*coding == "deflate")
            // Meant as a zlib stream, but some servers send raw deflate under this name.
            windowBits = hasZlibHeader(decoded.body) ? 15 : -15;
        decoded.coding = *coding;
        if (windowBits == 0) {
            decoded.outcome = Outcome::Unsupported;
            decoded.body.clear();
            return decoded;
        }
        // No body, nothing to undo: the answers that carry none may still name a coding.
        if (decoded.body.isEmpty())
            continue;
        QByteArray output;
        const Inflated inflated = inflateAll(decoded.body, windowBits, maxBodyBytes_, output);
        if (inflated != Inflated::Done) {
            decoded.outcome = inflated == Inflated::TooLarge ? Outcome::TooLarge : Outcome::Corrupt;
            decoded.body.clear();
            return decoded;
        }
        decoded.body = std::move(output);
    }
    decoded.coding.clear();
    return decoded;
}

bool HttpResponseParser::takeLine(QByteArrayView data, qsizetype& pos, QByteArray& line)
{
    const auto* start = data.data() + pos;
    const auto* lf = static_cast<const char*>(std::memchr(start, '\n', std::size_t(data.size() - pos)));
    const qsizetype length = lf ? lf - start : data.size() - pos;
    const bool inHead = state_ != State::ChunkSize && state_ != State::ChunkEnd;
    headBytes_ += inHead ? length + 1 : 0;
    if (line_.size() + length > MaxLineBytes || headBytes_ > MaxHeadBytes) {
        fail(Failure::Malformed);
        return false;
    }
    line_.append(start, length);
    pos += lf ? length + 1 : length;
    if (!lf)
        return false;
    if (line_.endsWith('\r'))
        line_.chop(1);
    line = std::move(line_);
    line_ = QByteArray();
    return true;
}

// "HTTP/1.x NNN reason"; the reason may be empty or missing.
void HttpResponseParser::parseStatusLine(const QByteArray& line)
{
    if (line.size() < 12 || !line.startsWith("HTTP/1.") || !isDigit(line[7]) || line[8] != ' ' ||
        !isDigit(line[9]) || !isDigit(line[10]) || !isDigit(line[11]) ||
        (line.size() > 12 && line[12] != ' ')) {
        fail(Failure::Malformed);
        return;
    }
    minorVersion_ = line[7] - '0';
    status_ = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    if (status_ < 100) {
        fail(Failure::Malformed);
        return;
    }
    reason_ = line.mid(13).trimmed();
    sawStatus_ = true;
    state_ = State::Headers;
}

void HttpResponseParser::parseHeaderLine(const QByteArray& line)
{
    // An obsolete folded line continues the previous field.
    if (line.front() == ' ' || line.front() == '\t') {
        if (!headers_.isEmpty())
            headers_.back().second = (headers_.back().second + ' ' + line.trimmed()).trimmed();
        return;
    }
    const qsizetype colon = line.indexOf(':');
    // A line that is no field is skipped rather than guessed at.
    if (colon <= 0 || !isTokenName(QByteArrayView(line).first(colon)))
        return;
    headers_.append({line.first(colon).toLower(), line.mid(colon + 1).trimmed()});
}

void HttpResponseParser::endOfHead()
{
    headBytes_ = 0;
    if (status_ < 200) {
        // Never asked to switch protocols, so an agreement to do so is not an answer this client can read.
        if (status_ == 101) {
            fail(Failure::Malformed);
            return;
        }
        headers_.clear();
        state_ = State::StatusLine;
        return;
    }
    if (status_ == 204 || status_ == 304) {
        state_ = State::Complete;
        return;
    }

    const QList<QByteArray> codings = tokensOf(headers_, "transfer-encoding");
    if (!codings.isEmpty()) {
        // A length next to a transfer coding is not to be trusted, nor the connection after it.
        if (!header("content-length").isNull())
            closeAfter_ = true;
        if (codings.back() == "chunked") {
            framing_ = Framing::Chunked;
            state_ = State::ChunkSize;
        } else {
            framing_ = Framing::UntilClose;
            closeAfter_ = true;
            state_ = State::Body;
        }
        return;
    }

    const QList<QByteArray> lengths = tokensOf(headers_, "content-length");
    if (lengths.isEmpty()) {
        framing_ = Framing::UntilClose;
        closeAfter_ = true;
        state_ = State::Body;
        return;
    }
    // Repeated lengths must agree; 18 digits keep the number inside qint64.
    const QByteArray& text = lengths.front();
    const bool valid =
        !text.isEmpty() && text.size() <= 18 && std::all_of(text.begin(), text.end(), isDigit) &&
        std::all_of(lengths.begin(), lengths.end(), [&](const QByteArray& l) { return l == text; });
    if (!valid) {
        fail(Failure::Malformed);
        return;
    }
    contentLength_ = text.toLongLong();
    if (contentLength_ > maxBodyBytes_) {
        fail(Failure::TooLarge);
        return;
    }
    framing_ = Framing::Length;
    remaining_ = contentLength_;
    state_ = remaining_ == 0 ? State::Complete : State::Body;
}

// "hex-size[;extension...]"
void HttpResponseParser::parseChunkSize(const QByteArray& line)
{
    const qsizetype semicolon = line.indexOf(';');
    const QByteArray digits = (semicolon < 0 ? line : line.first(semicolon)).trimmed();
    if (digits.isEmpty() || digits.size() > 15) {
        fail(Failure::Malformed);
        return;
    }
    qint64 size = 0;
    for (const char c : digits) {
        const int value = hexValue(c);
        if (value < 0) {
            fail(Failure::Malformed);
            return;
        }
        size = size * 16 + value;
    }
    if (size > maxBodyBytes_ - body_.size()) {
        fail(Failure::TooLarge);
        return;
    }
    remaining_ = size;
    state_ = size == 0 ? State::Trailers : State::ChunkData;
}

void HttpResponseParser::appendBody(QByteArrayView bytes)
{
    // Never more than the cap is held, however the bytes came in.
    const qint64 room = maxBodyBytes_ - body_.size();
    body_.append(bytes.first(qsizetype(std::min<qint64>(room, bytes.size()))));
    if (bytes.size() > room)
        fail(Failure::TooLarge);
}

void HttpResponseParser::fail(Failure why)
{
    state_ = State::Failed;
    failure_ = why;
}

} // namespace quorvel::acquisition
