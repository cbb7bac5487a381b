#include "webconfig.h"

#include "basicauth.h"

#include <QDir>
#include <QFileInfo>

#include <yaml-cpp/yaml.h>

namespace quorvel::service {

namespace {

// A web configuration file is a few lines; anything much larger is not one.
constexpr qint64 MaxFileBytes = 64 * 1024;

QString text(const YAML::Node& node)
{
    return QString::fromStdString(node.as<std::string>());
}

} // namespace

WebConfigResult readWebConfig(const QString& path)
{
    const auto fail = [&](const QString& why) {
        return WebConfigResult{std::nullopt, path + QStringLiteral(": ") + why};
    };
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable())
        return fail(QStringLiteral("not a readable file"));
    if (info.size() > MaxFileBytes)
        return fail(
            QStringLiteral("larger than a web configuration file can be (%1 bytes)").arg(info.size()));
    WebConfig config;
    const QDir folder = info.absoluteDir();
    try {
        const YAML::Node root = YAML::LoadFile(QFile::encodeName(path).toStdString());
        if (!root.IsDefined() || root.IsNull())
            return WebConfigResult{config, {}};
        if (!root.IsMap())
            return fail(QStringLiteral("expected a mapping of tls_server_config and basic_auth_users"));
        for (const auto& entry : root) {
            const QString key = text(entry.first);
            const YAML::Node& value = entry.second;
            if (key == QLatin1String("tls_server_config")) {
                if (!value.IsMap())
                    return fail(QStringLiteral("tls_server_config: expected cert_file and key_file"));
                for (const auto& tls : value) {
                    const QString name = text(tls.first);
                    QString* target = name == QLatin1String("cert_file")  ? &config.certFile
                                      : name == QLatin1String("key_file") ? &config.keyFile
                                                                          : nullptr;
                    if (!target)
                        return fail(
                            QStringLiteral("tls_server_config: %1 is not supported here (only cert_file "
                                           "and key_file)")
                                .arg(name));
                    *target = QDir::cleanPath(folder.absoluteFilePath(text(tls.second)));
                }
                if (config.certFile.isEmpty() != config.keyFile.isEmpty() || config.certFile.isEmpty())
                    return fail(QStringLiteral("tls_server_config: needs both cert_file and key_file"));
                for (const QString& file : {config.certFile, config.keyFile})
                    if (!QFileInfo(file).isReadable())
                        return fail(QStringLiteral("tls_server_config: %1 cannot be read").arg(file));
            } else if (key == QLatin1String("basic_auth_users")) {
                if (!value.IsMap())
                    return fail(QStringLiteral("basic_auth_users: expected user: bcrypt hash lines"));
                for (const auto& user : value) {
                    const QByteArray hash = text(user.second).toLatin1();
                    if (const auto problem = BasicAuth::hashProblem(hash))
                        return fail(QStringLiteral("basic_auth_users: the hash of %1: %2")
                                        .arg(text(user.first), *problem));
                    config.users.insert(text(user.first), hash);
                }
            } else {
                return fail(QStringLiteral("%1 is not supported here (only tls_server_config and "
                                           "basic_auth_users)")
                                .arg(key));
            }
        }
    } catch (const YAML::Exception& error) {
        return fail(QString::fromStdString(error.what()));
    }
    return WebConfigResult{config, {}};
}

} // namespace quorvel::service
