#include "service/http/webconfig.h"

#include "basicauth.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <yaml-cpp/yaml.h>

#include <variant>

namespace quorvel::service {

namespace {

// A web configuration file is a few lines; anything much larger is not one.
constexpr qint64 MaxFileBytes = 64 * 1024;
// A certificate chain or a key in PEM is a few KiB: far more is a mistake, or a device that never ends.
constexpr qint64 MaxPemBytes = 1024 * 1024;

// The whole of a regular file of at most MaxPemBytes, or the reason not.
std::variant<QByteArray, QString> readPem(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return QStringLiteral("%1 is not a regular file").arg(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString());
    // Read to one byte past the cap: a file that grows meanwhile is refused too, not read whole.
    QByteArray pem = file.read(MaxPemBytes + 1);
    if (pem.size() > MaxPemBytes)
        return QStringLiteral("%1 is larger than a PEM file can be here (%2 bytes at most)")
            .arg(path)
            .arg(MaxPemBytes);
    return pem;
}

// The certificate chain and key of the two files, or the reason not.
std::optional<QString> loadTls(WebConfig& config)
{
    const auto certificate = readPem(config.certFile);
    if (const auto* error = std::get_if<QString>(&certificate))
        return *error;
    config.chain = QSslCertificate::fromData(std::get<QByteArray>(certificate), QSsl::Pem);
    if (config.chain.isEmpty())
        return QStringLiteral("%1 holds no PEM certificate").arg(config.certFile);
    const auto key = readPem(config.keyFile);
    if (const auto* error = std::get_if<QString>(&key))
        return *error;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa})
        if (config.key = QSslKey(std::get<QByteArray>(key), algorithm, QSsl::Pem); !config.key.isNull())
            return std::nullopt;
    return QStringLiteral("%1 holds no unencrypted PEM private key").arg(config.keyFile);
}

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
                if (const auto error = loadTls(config))
                    return fail(QStringLiteral("tls_server_config: ") + *error);
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
