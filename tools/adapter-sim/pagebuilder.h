#pragma once

#include "fault.h"
#include "httpresponse.h"

#include <QByteArray>
#include <QByteArrayView>

namespace quorvel::adaptersim {

// Where a sensor request went, needed to point redirects back at this server.
struct RequestTarget {
    QByteArray path;
    QByteArray encodedQuery;
    quint16 port = 0;
};

// The adapter's pages: pure functions from a reading and a fault to the bytes of an answer. Faults that live
// on the connection rather than in the answer (close, silent, drip timing) are the server's business; here
// they yield the page that would otherwise be sent.
class PageBuilder final {
public:
    PageBuilder() = delete;

    static constexpr qsizetype HugeBodySize = 2 * 1024 * 1024;
    // At one byte per 200 ms this keeps a dripped page going for well over 30 s.
    static constexpr qsizetype MinimumDripBodySize = 256;
    // 85 degrees, what a DS18B20 reads before its first conversion after power-on.
    static constexpr int PowerOnSixteenths = 85 * 16;
    static constexpr qsizetype GarbageSize = 300;

    // Decimal text with '.' and no trailing zeros: 377 -> "23.5625", 336 -> "21", -50 -> "-3.125".
    [[nodiscard]] static QByteArray formatTemperature(int sixteenths);

    [[nodiscard]] static QByteArray readingPage(int sensor, QByteArrayView rom, int sixteenths);

    // Inserts a comment so the page becomes exactly size bytes; pages already that long come back as is.
    [[nodiscard]] static QByteArray padded(const QByteArray& page, qsizetype size);

    [[nodiscard]] static HttpResponse sensorResponse(int sensor, QByteArrayView rom, int sixteenths,
                                                     const Fault& fault, const RequestTarget& target,
                                                     quint64 garbageSeed);

    [[nodiscard]] static HttpResponse notFound();
    [[nodiscard]] static HttpResponse methodNotAllowed();
    [[nodiscard]] static HttpResponse text(int status, const QByteArray& text);

private:
    [[nodiscard]] static QByteArray page(int sensor, QByteArrayView rom, QByteArrayView temperatureCell);
    [[nodiscard]] static QByteArray garbage(quint64 seed);
    [[nodiscard]] static HttpResponse redirect(const QByteArray& location);
};

} // namespace quorvel::adaptersim
