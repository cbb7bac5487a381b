#include "service/http/httprequesthead.h"

#include <algorithm>
#include <cstring>

namespace quorvel::service {

namespace {

using Outcome = ParsedRequestHead::Outcome;

bool isToken(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7f && !std::strchr("()<>@,;:\\\"/[]?={}", c);
    });
}

// Visible characters and blanks only: a bare CR or a NUL inside a line is how requests get smuggled.
bool isFieldText(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u == '\t' || (u >= 0x20 && u != 0x7f);
    });
}

// "METHOD TARGET HTTP/1.x": the path of an origin-form or absolute-form target, the minor version.
Outcome parseRequestLine(QByteArrayView line, HttpRequestHead& head)
{
    const qsizetype first = line.indexOf(' ');
    const qsizetype last = line.lastIndexOf(' ');
    if (first <= 0 || last == first)
        return Outcome::Malformed;
    const QByteArrayView method = line.first(first);
    QByteArrayView target = line.sliced(first + 1, last - first - 1);
    const QByteArrayView version = line.sliced(last + 1);
    if (!isToken(method) || target.isEmpty() || target.contains(' ') || !isFieldText(target))
        return Outcome::Malformed;
    if (!version.startsWith("HTTP/") || version.size() != 8 || version[6] != '.')
        return Outcome::Malformed;
    if (version[5] != '1' || (version[7] != '0' && version[7] != '1'))
        return Outcome::UnsupportedVersion;
    if (target.startsWith("http://") || target.startsWith("https://")) {
        const qsizetype slash = target.indexOf('/', target.indexOf("//") + 2);
        target = slash < 0 ? QByteArrayView("/") : target.sliced(slash);
    }
    if (!target.startsWith('/'))
        return Outcome::Malformed;
    const qsizetype query = target.indexOf('?');
    head.method = method.toByteArray();
    head.path = (query < 0 ? target : target.first(query)).toByteArray();
    if (query >= 0)
        head.query = target.sliced(query + 1).toByteArray();
    head.minorVersion = version[7] - '0';
    return Outcome::Complete;
}

// What Content-Length, Transfer-Encoding and Connection say; Malformed for a length that is no number
// or that two headers give differently.
Outcome readFraming(HttpRequestHead& head)
{
    head.keepAlive = head.minorVersion == 1;
    QByteArray length;
    for (const auto& [name, value] : head.headers) {
        if (name == "content-length") {
            const bool digits = !value.isEmpty() && std::all_of(value.begin(), value.end(),
                                                                [](char c) { return c >= '0' && c <= '9'; });
            if (!digits || (!length.isNull() && length != value))
                return Outcome::Malformed;
            length = value;
            if (value.count('0') != value.size())
                head.hasBody = true;
        } else if (name == "transfer-encoding") {
            head.hasBody = true;
        } else if (name == "connection") {
            for (const QByteArray& item : value.split(',')) {
                const QByteArray option = item.trimmed().toLower();
                if (option == "close")
                    head.keepAlive = false;
                else if (option == "keep-alive" && head.minorVersion == 0)
                    head.keepAlive = true;
            }
        }
    }
    return Outcome::Complete;
}

} // namespace

QByteArray HttpRequestHead::header(QByteArrayView name) const
{
    for (const auto& [key, value] : headers)
        if (key == name)
            return value;
    return {};
}

ParsedRequestHead parseRequestHead(QByteArrayView buffer, qsizetype maxBytes)
{
    ParsedRequestHead parsed;
    const QByteArrayView window = buffer.first(std::min(buffer.size(), maxBytes));
    bool sawRequestLine = false;
    for (qsizetype pos = 0;;) {
        const qsizetype end = window.indexOf('\n', pos);
        if (end < 0) {
            parsed.outcome = buffer.size() >= maxBytes ? Outcome::TooLarge : Outcome::Incomplete;
            return parsed;
        }
        QByteArrayView line = window.sliced(pos, end - pos);
        if (line.endsWith('\r'))
            line.chop(1);
        pos = end + 1;
        if (!sawRequestLine) {
            if (line.isEmpty())
                continue;
            sawRequestLine = true;
            if (const Outcome outcome = parseRequestLine(line, parsed.head); outcome != Outcome::Complete) {
                parsed.outcome = outcome;
                return parsed;
            }
            continue;
        }
        if (line.isEmpty()) {
            parsed.outcome = readFraming(parsed.head);
            parsed.length = pos;
            return parsed;
        }
        // A name, a colon, a value; folded lines (starting with a blank) are refused.
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.first(colon)) || !isFieldText(line)) {
            parsed.outcome = Outcome::Malformed;
            return parsed;
        }
        parsed.head.headers.append(
            {line.first(colon).toByteArray().toLower(), line.sliced(colon + 1).toByteArray().trimmed()});
    }
}

} // namespace quorvel::service
