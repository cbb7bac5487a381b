#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <utility>

namespace quorvel::service {

// One request's line and headers as a client sent them.
struct HttpRequestHead {
    QByteArray method;
    QByteArray path;  // the target without its query
    QByteArray query; // the raw bytes after the target's '?', null without one
    int minorVersion = 1;
    QList<std::pair<QByteArray, QByteArray>> headers; // names in lower case, values trimmed
    // Whether the connection may carry another request: HTTP/1.1 unless "Connection: close", HTTP/1.0
    // only with "Connection: keep-alive".
    bool keepAlive = true;
    // A Content-Length above 0 or any Transfer-Encoding: the request carries a body.
    bool hasBody = false;

    // The value of the first header of this name (lower case); null when there is none.
    [[nodiscard]] QByteArray header(QByteArrayView name) const;
};

struct ParsedRequestHead {
    enum class Outcome { Incomplete, Complete, TooLarge, Malformed, UnsupportedVersion };
    Outcome outcome = Outcome::Incomplete;
    qsizetype length = 0; // bytes the head takes from the front of the buffer, its blank line included
    HttpRequestHead head;
};

// Reads the head at the front of buffer, which may go on with further pipelined requests. Lines end in
// LF with an optional CR; empty lines before the request line are skipped. A head that has not ended
// within maxBytes is TooLarge, however much of it is there.
[[nodiscard]] ParsedRequestHead parseRequestHead(QByteArrayView buffer, qsizetype maxBytes);

} // namespace quorvel::service
