#include "adapteraddress.h"

#include "runtime/appinfo.h"
#include "runtime/settingskeys.h"
#include "runtime/settingsstore.h"

#include <QStringList>

namespace quorvel::acquisition {

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

std::optional<QString> parseAdapterAddress(const QString& text)
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
    if (hostPort.size() == 2) {
        const QString& port = hostPort.back();
        if (!isDecimal(port, 5))
            return std::nullopt;
        const int p = port.toInt();
        if (p < 1 || p > 65535)
            return std::nullopt;
    }
    return text;
}

AdapterAddressResult loadAdapterAddress()
{
    const QString app = runtime::AppInfo::title();
    const auto stored = runtime::SettingsStore::getSetting(app, runtime::settingskeys::Settings,
                                                           runtime::settingskeys::AdapterAddress);
    if (!stored)
        return {QString::fromLatin1(DefaultAdapterAddress), {}};
    if (auto address = parseAdapterAddress(*stored))
        return {address, {}};
    return {
        std::nullopt,
        QStringLiteral("The setting \"%1\" in section [%2] of %3 is \"%4\", which is not an IPv4 address "
                       "with an optional port (for example 127.0.0.1 or 127.0.0.1:8080). The program ends.")
            .arg(runtime::settingskeys::AdapterAddress, runtime::settingskeys::Settings,
                 runtime::SettingsStore::fileName(app), *stored)};
}

} // namespace quorvel::acquisition
