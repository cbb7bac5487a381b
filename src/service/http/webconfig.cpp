#include "service/http/webconfig.h"

#include "basicauth.h"

#include "runtime/configyaml.h"
#include "runtime/regularfile.h"

#include <QDir>
#include <QFileInfo>

#include <utility>
#include <variant>

namespace quorvel::service {

namespace {

// A web configuration file is a few lines; anything much larger is not one.
constexpr qint64 MaxFileBytes = 64 * 1024;
// A certificate chain or a key in PEM is a few KiB: far more is a mistake, or a device that never ends.
constexpr qint64 MaxPemBytes = 1024 * 1024;

using runtime::configyaml::Entry;
using runtime::configyaml::Faults;
using runtime::configyaml::Fields;

// The whole of a regular file of at most MaxPemBytes, or the reason not.
std::variant<QByteArray, QString> readPem(const QString& path)
{
    const runtime::RegularFileRead file = runtime::readRegularFile(path, MaxPemBytes);
    if (file.status == runtime::RegularFileRead::Status::NoInput)
        return QStringLiteral("%1: %2").arg(path, file.problem);
    if (file.status == runtime::RegularFileRead::Status::TooLarge)
        return QStringLiteral("%1 is larger than a PEM file can be here (%2 bytes at most)")
            .arg(path)
            .arg(MaxPemBytes);
    return file.bytes;
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

void fail(Faults& faults, const Entry& entry, const QString& message)
{
    faults.add(entry.mark(), entry.where + message);
}

void readTls(const Entry& entry, const QDir& folder, WebConfig& config, Faults& faults)
{
    if (!entry.value.IsMap()) {
        fail(faults, entry, QStringLiteral(": expected cert_file and key_file"));
        return;
    }
    Fields fields(entry.value, entry.where, faults);
    for (const auto& [key, target] :
         {std::pair{"cert_file", &config.certFile}, {"key_file", &config.keyFile}})
        if (const auto file = fields.take(key))
            if (const auto path = runtime::configyaml::scalarText(*file, faults))
                *target = QDir::cleanPath(folder.absoluteFilePath(*path));
    if (config.certFile.isEmpty() || config.keyFile.isEmpty())
        fail(faults, entry, QStringLiteral(": needs both cert_file and key_file"));
    else if (const auto error = loadTls(config))
        fail(faults, entry, QStringLiteral(": ") + *error);
}

void readUsers(const Entry& entry, WebConfig& config, Faults& faults)
{
    if (!entry.value.IsMap()) {
        fail(faults, entry, QStringLiteral(": expected user: bcrypt hash lines"));
        return;
    }
    for (const auto& user : entry.value) {
        const QString name = user.first.IsScalar() ? QString::fromStdString(user.first.Scalar()) : QString();
        const Entry line{user.first, user.second, entry.where};
        const auto hash = runtime::configyaml::scalarText(line, faults);
        if (!hash)
            continue;
        if (const auto problem = BasicAuth::hashProblem(hash->toLatin1()))
            fail(faults, line, QStringLiteral(": the hash of %1: %2").arg(name, *problem));
        else
            config.users.insert(name, hash->toLatin1());
    }
}

} // namespace

WebConfigResult readWebConfig(const QString& path)
{
    Faults faults(path);
    const QByteArray bytes = runtime::configyaml::readFile(
        path, MaxFileBytes,
        QStringLiteral("larger than a web configuration file can be (%1 bytes at most)").arg(MaxFileBytes),
        faults);
    WebConfig config;
    if (!faults.any())
        if (const auto root = runtime::configyaml::loadDocument(bytes, faults); root && !root->IsNull()) {
            if (!root->IsMap()) {
                faults.add(root->Mark(), QStringLiteral("expected a mapping of tls_server_config and "
                                                        "basic_auth_users"));
            } else {
                Fields fields(*root, QString(), faults);
                if (const auto tls = fields.take("tls_server_config"))
                    readTls(*tls, QFileInfo(path).absoluteDir(), config, faults);
                if (const auto users = fields.take("basic_auth_users"))
                    readUsers(*users, config, faults);
            }
        }
    if (faults.any())
        return {std::nullopt, faults.told().front().text()};
    return {config, {}};
}

} // namespace quorvel::service
