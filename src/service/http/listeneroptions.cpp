#include "service/http/listeneroptions.h"

#include "runtime/ipv4address.h"

namespace quorvel::service {

runtime::OptionDecl<std::optional<ListenEndpoint>> listenOptionDecl()
{
    // --metrics came first; units and default files use it.
    return {.names = {"listen", "metrics"},
            .valueName = "ADDR:PORT",
            .help = "serve the status page (/), /readings.json, /chart.svg and /metrics on this IPv4 address "
                    "and port (port 0 picks a free one and the start message names it); off unless given",
            .key = "listen",
            .apply = [](const QString& v, std::optional<ListenEndpoint>& endpoint) -> std::optional<QString> {
                if ((endpoint = parseListenEndpoint(v)))
                    return std::nullopt;
                return QStringLiteral("expected an IPv4 address and a port, such as 127.0.0.1:9300");
            }};
}

runtime::OptionDecl<QString> webConfigOptionDecl()
{
    return {.names = {"web-config"},
            .valueName = "FILE",
            .help = "TLS (tls_server_config: cert_file, key_file) and basic auth (basic_auth_users: name: "
                    "bcrypt hash) for the listener, as the exporters of a Prometheus-compatible monitoring "
                    "system read them",
            .key = "web_config",
            .path = true,
            .apply = [](const QString& v, QString& file) {
                return runtime::setNamed(file, v, "the web configuration's file name");
            }};
}

std::optional<ListenEndpoint> parseListenEndpoint(const QString& text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return std::nullopt;
    const QString host = text.left(colon);
    const QString port = text.mid(colon + 1);
    // Four decimal octets, no leading zeros, and no second port before the one taken.
    const auto address = runtime::parseIpv4HostPort(host);
    if (!address || address->port || port.isEmpty() || port.size() > 5)
        return std::nullopt;
    for (const QChar c : port)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    if (port.size() > 1 && port.front() == QLatin1Char('0'))
        return std::nullopt;
    const int number = port.toInt();
    if (number > 65535)
        return std::nullopt;
    return ListenEndpoint{QHostAddress(host), static_cast<quint16>(number)};
}

} // namespace quorvel::service
