#include "settingsstore.h"

#include <QSettings>

namespace quorvel::runtime {

namespace {
QString fullKey(const QString& section, const QString& key)
{
    return section + QLatin1Char('/') + key;
}
} // namespace

Error SettingsStore::saveSetting(const QString& appName, const QString& section, const QString& key,
                                 const QString& value)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, appName, appName);
    if (!settings.isWritable())
        return Failure{QStringLiteral("The settings file %1 cannot be written.").arg(settings.fileName())};
    settings.setValue(fullKey(section, key), value);
    settings.sync();
    switch (settings.status()) {
    case QSettings::NoError:
        return std::nullopt;
    case QSettings::AccessError:
        return Failure{QStringLiteral("The settings file %1 cannot be written.").arg(settings.fileName())};
    case QSettings::FormatError:
        return Failure{QStringLiteral("The settings file %1 is damaged.").arg(settings.fileName())};
    }
    return Failure{QStringLiteral("The settings could not be saved.")};
}

std::optional<QString> SettingsStore::getSetting(const QString& appName, const QString& section,
                                                 const QString& key)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, appName, appName);
    const QVariant v = settings.value(fullKey(section, key));
    if (!v.isValid())
        return std::nullopt;
    return v.toString();
}

QString SettingsStore::fileName(const QString& appName)
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, appName, appName).fileName();
}

} // namespace quorvel::runtime
