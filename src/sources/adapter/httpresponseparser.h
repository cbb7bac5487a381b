#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>

namespace quorvel::acquisition {

// Reads one HTTP/1.x answer from bytes fed in as they arrive, in pieces of any size. It does no I/O: the
// page component owns the socket and asks the parser where the answer stands. Interim 1xx answers are
// skipped; the body is framed by Content-Length, by chunks, or by the end of the connection.
class HttpResponseParser {
public:
    enum class State {
        StatusLine,
        Headers,
        Body,
        ChunkSize,
        ChunkData,
        ChunkEnd,
        Trailers,
        Complete,
        Failed
    };
    enum class Failure { None, Malformed, TooLarge, Truncated };

    // Longest status, header or chunk-size line; the whole head may hold at most MaxHeadBytes.
    static constexpr qsizetype MaxLineBytes = 8192;
    static constexpr qsizetype MaxHeadBytes = 65536;

    explicit HttpResponseParser(qint64 maxBodyBytes = 1048576);

    // Ready for the next answer on the same connection.
    void reset();

    // Takes bytes of the answer and returns how many belong to it: fewer than given only once the answer
    // is complete (the rest is not this answer's) or has failed.
    qsizetype feed(QByteArrayView data);
    // The connection ended: completes an answer read until the close, fails any other unfinished one.
    void finish();

    [[nodiscard]] State state() const { return state_; }
    [[nodiscard]] Failure failure() const { return failure_; }
    [[nodiscard]] bool isComplete() const { return state_ == State::Complete; }
    [[nodiscard]] bool isFailed() const { return state_ == State::Failed; }

    // Whether any status line arrived, an interim one included.
    [[nodiscard]] bool hasStatus() const { return sawStatus_; }
    [[nodiscard]] int status() const { return status_; }
    [[nodiscard]] const QByteArray& reasonPhrase() const { return reason_; }
    // The value of the first header with this name (any case), trimmed; null when there is none.
    [[nodiscard]] QByteArray header(QByteArrayView name) const;
    // Content-Length when the answer gives one and is not chunked; -1 otherwise.
    [[nodiscard]] qint64 contentLength() const { return contentLength_; }
    // Whether the connection may carry the next request once this answer is complete.
    [[nodiscard]] bool keepAlive() const;
    [[nodiscard]] const QByteArray& body() const { return body_; }
    [[nodiscard]] qint64 maxBodySize() const { return maxBodyBytes_; }

    // The body undone from its Content-Encoding: the request asks for identity, but a server set to
    // compress may send gzip or deflate all the same. The decoded body is held to the same cap.
    struct Decoded {
        enum class Outcome { Decoded, Unsupported, Corrupt, TooLarge };
        Outcome outcome = Outcome::Decoded;
        QByteArray body;
        QByteArray coding; // the one that could not be undone, in lower case
    };
    [[nodiscard]] Decoded decodedBody() const;

private:
    enum class Framing { None, Length, Chunked, UntilClose };

    // Takes one line ending in LF (CR optional) from data at pos; false when it is not all there yet.
    bool takeLine(QByteArrayView data, qsizetype& pos, QByteArray& line);
    // Acts on one whole line in the current state.
    void handleLine(const QByteArray& line);
    void parseStatusLine(const QByteArray& line);
    void parseHeaderLine(const QByteArray& line);
    void endOfHead();
    void parseChunkSize(const QByteArray& line);
    void appendBody(QByteArrayView bytes);
    void fail(Failure why);

    qint64 maxBodyBytes_;
    State state_ = State::StatusLine;
    Failure failure_ = Failure::None;
    Framing framing_ = Framing::None;
    QByteArray line_;
    QList<QPair<QByteArray, QByteArray>> headers_; // names in lower case
    QByteArray reason_;
    QByteArray body_;
    qint64 contentLength_ = -1;
    qint64 remaining_ = 0; // of the body or of the current chunk
    qsizetype headBytes_ = 0;
    int status_ = 0;
    int minorVersion_ = 1;
    bool sawStatus_ = false;
    bool closeAfter_ = false;
};

} // namespace quorvel::acquisition
