#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

namespace quorvel::adaptersim {

// One HTTP/1.1 answer, composed by hand because the simulator must control exactly which bytes go out
// and when.
struct HttpResponse {
    int status = 200;
    QByteArray contentType = "text/html";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    bool closeConnection = false;

    // Status line and headers up to and including the empty line; Content-Length always present so a
    // kept-alive client knows where the body ends.
    [[nodiscard]] QByteArray head() const;
    [[nodiscard]] QByteArray serialize() const { return head() + body; }
};

[[nodiscard]] QByteArray reasonPhrase(int status);

} // namespace quorvel::adaptersim
