#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <optional>

namespace quorvel::service {

// The web configuration file that the exporters of a Prometheus-compatible monitoring system read
// (--web-config): TLS for the listener and basic auth users with their bcrypt hashes. Paths in it are
// taken relative to the file's folder, as those exporters do.
struct WebConfig {
    QString certFile; // empty: no TLS
    QString keyFile;
    QList<QSslCertificate> chain;    // read from certFile
    QSslKey key;                     // read from keyFile
    QMap<QString, QByteArray> users; // name -> bcrypt hash; empty: no login asked
};

struct WebConfigResult {
    std::optional<WebConfig> config;
    QString error; // "FILE: reason" when there is no config
};

// Reads and checks the file: every key known, each hash a bcrypt one of a cost taken, and the certificate
// and key read and parsed, each from a regular file of a bounded size, before anything is served.
[[nodiscard]] WebConfigResult readWebConfig(const QString& path);

} // namespace quorvel::service
