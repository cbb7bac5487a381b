#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

namespace quorvel::service::influx {

// The two ways in that the line-protocol databases offer: /write with a database, /api/v2/write with an
// organisation and a bucket.
enum class Api { V1, V2 };

// One entry of the configuration's outputs: influx: list. Secrets were read from their files already.
struct InfluxSettings {
    // The output's name in the metrics, the journal, the page and the cursor the store keeps for it; by
    // default "<host>:<port>/<database or bucket>", so that reordering the list keeps each cursor.
    QString name;
    QUrl url; // the server's root (a path prefix is kept): /write or /api/v2/write is added
    Api api = Api::V1;
    QString database; // v1
    QString org;      // v2
    QString bucket;   // v2
    QString token;    // v2's token, or v1's as "Token …" where a server takes it; from token_file
    QString user;     // v1 basic authentication, with the password from password_file
    QString password;
    QString cafile; // a CA file for https:// beside the system's
    QString measurement = QStringLiteral("temperature");
    // Fixed tags on every line after host, source, rom and name, in the file's order.
    QList<QPair<QString, QString>> tags;
    int batch = 5000;         // lines a request at most
    int backfillRate = 10000; // lines a second at most while catching up
    bool gzip = false;        // the body gzip-compressed

    friend bool operator==(const InfluxSettings&, const InfluxSettings&) = default;
};

// The bounds the configuration checks, in one place.
inline constexpr int MaxBatch = 100000;
inline constexpr int MaxBackfillRate = 1000000;

} // namespace quorvel::service::influx
