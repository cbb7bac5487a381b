#pragma once

#include <QString>

namespace quorvel::service {

// The kinds of source: an adapter's sensor pages, the kernel's 1-Wire bus, a 1-Wire server.
inline constexpr const char* AdapterKind = "adapter";
inline constexpr const char* W1Kind = "w1";
inline constexpr const char* OwserverKind = "owserver";

// What people call a source of this kind in messages and on the page: "adapter", "bus", "server".
[[nodiscard]] inline QString sourceNoun(const QString& kind)
{
    if (kind == QLatin1String(W1Kind))
        return QStringLiteral("bus");
    if (kind == QLatin1String(OwserverKind))
        return QStringLiteral("server");
    return QStringLiteral("adapter");
}

} // namespace quorvel::service
