#include "httpresponse.h"

namespace quorvel::adaptersim {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 500:
        return "Internal Server Error";
    default:
        return "Unknown";
    }
}

QByteArray HttpResponse::head() const
{
    QByteArray out;
    out.reserve(160);
    out += "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    out += "Server: quorvel3-adapter-sim\r\n";
    if (!contentType.isEmpty())
        out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const auto& [name, value] : headers)
        out += name + ": " + value + "\r\n";
    if (closeConnection)
        out += "Connection: close\r\n";
    out += "\r\n";
    return out;
}

} // namespace quorvel::adaptersim
