#pragma once

#include "error.h"

#include <QString>

#include <optional>

namespace quorvel::runtime {

// The per-user settings store: text values under application name, section and key. On Linux an INI
// file at $XDG_CONFIG_HOME/<application>/<application>.conf.
class SettingsStore {
public:
    // Writes and syncs the value; fails when the store refused it.
    [[nodiscard]] static Error saveSetting(const QString& appName, const QString& section, const QString& key,
                                           const QString& value);
    // The stored value; nothing when the key is not set.
    [[nodiscard]] static std::optional<QString> getSetting(const QString& appName, const QString& section,
                                                           const QString& key);
    // Where the store of appName lives, for messages and documentation.
    [[nodiscard]] static QString fileName(const QString& appName);
};

} // namespace quorvel::runtime
