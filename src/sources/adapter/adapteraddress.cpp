#include "adapteraddress.h"

#include "runtime/ipv4address.h"

#include "runtime/appinfo.h"
#include "runtime/settingskeys.h"
#include "runtime/settingsstore.h"

namespace quorvel::acquisition {

std::optional<QString> parseAdapterAddress(const QString& text)
{
    if (!runtime::parseIpv4HostPort(text))
        return std::nullopt;
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
