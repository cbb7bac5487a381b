#pragma once

#include "runtime/appinfo.h"
#include "runtime/settingskeys.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QString>

namespace quorvel::testing {

// Writes the settings file the program reads under XDG_CONFIG_HOME=configHome, pointing it at the adapter
// at this address ("127.0.0.1:port"), for a test that starts the program as a process of its own.
[[nodiscard]] inline bool writeAdapterConfig(const QString& configHome, const QString& address)
{
    const QString title = runtime::AppInfo::title();
    if (!QDir().mkpath(configHome + QLatin1Char('/') + title))
        return false;
    QFile conf(QStringLiteral("%1/%2/%2.conf").arg(configHome, title));
    if (!conf.open(QIODevice::WriteOnly))
        return false;
    namespace keys = runtime::settingskeys;
    const QString text = QStringLiteral("[%1]\n%2=%3\n").arg(keys::Settings, keys::AdapterAddress, address);
    return conf.write(text.toLatin1()) == text.size();
}

// The environment of the program started as a process of its own: offscreen, reading the settings file
// written under configHome that points it at the adapter at this address. Empty when the file could not
// be written.
[[nodiscard]] inline QProcessEnvironment programEnvironment(const QString& configHome, const QString& address)
{
    if (!writeAdapterConfig(configHome, address))
        return {};
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

} // namespace quorvel::testing
