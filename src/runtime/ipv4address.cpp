#include "ipv4address.h"

#include <QStringList>

namespace quorvel::runtime {

namespace {

bool isDecimal(const QString& s, int maxDigits)
{
    if (s.isEmpty() || s.size() > maxDigits)
        return false;
    for (const QChar c : s)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    // Leading zeros read as octal in some tools: refuse them rather than guess.
    return s.size() == 1 || s.front() != QLatin1Char('0');
}

} // namespace

std::optional<Ipv4HostPort> parseIpv4HostPort(const QString& text)
{
    const QStringList hostPort = text.split(QLatin1Char(':'));
    if (hostPort.size() > 2)
        return std::nullopt;
    const QStringList octets = hostPort.front().split(QLatin1Char('.'));
    if (octets.size() != 4)
        return std::nullopt;
    for (const QString& o : octets)
        if (!isDecimal(o, 3) || o.toInt() > 255)
            return std::nullopt;
    Ipv4HostPort parsed{hostPort.front(), std::nullopt};
    if (hostPort.size() == 2) {
        const QString& port = hostPort.back();
        if (!isDecimal(port, 5))
            return std::nullopt;
        const int p = port.toInt();
        if (p < 1 || p > 65535)
            return std::nullopt;
        parsed.port = quint16(p);
    }
    return parsed;
}

} // namespace quorvel::runtime
