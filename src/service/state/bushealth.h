#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <map>
#include <optional>
#include <utility>

namespace quorvel::service {

// The share of a source's reads that failed over the last ten minutes, counted in buckets of ten seconds so
// that a fast bus costs no memory per read.
class FailureWindow {
public:
    static constexpr int WindowSeconds = 600;
    static constexpr int BucketSeconds = 10;

    void add(const QDateTime& when, bool failed);
    // Failed reads over all reads within the window ending at now; nothing when there was no read in it.
    [[nodiscard]] std::optional<double> ratio(const QDateTime& now) const;

private:
    struct Bucket {
        qint64 index = -1; // seconds since the epoch / BucketSeconds; -1: empty
        quint64 reads = 0;
        quint64 failed = 0;
    };
    std::array<Bucket, WindowSeconds / BucketSeconds> buckets_{};
};

// One step of the recovery ladder as it was tried.
struct RecoveryAttempt {
    QDateTime when;
    QString step;   // "search", "command" or "rebind", as the metrics label it
    QString result; // "recovered", "not_recovered" or "failed"; empty while its effect is not known yet
    QString detail; // what happened, in words (a problem, an exit status and the first line of its errors)
};

// What the journal and the page say of family-00 devices on a bus: "a device 00-…: the bus has no pull-up,
// or it is too weak"; empty for none.
[[nodiscard]] QString ghostsNotice(const QStringList& ghosts);

// What a source's bus shows of its health, as every output reads it.
struct BusHealth {
    // Every device the last listing found, as the source writes its IDs; searched: when (null: never).
    QStringList devices;
    QDateTime searched;
    // Those of family 00: a bus without (enough) pull-up.
    QStringList ghosts;
    FailureWindow failures;
    // Since when every read of the source fails; null while one is good.
    QDateTime downSince;
    std::optional<RecoveryAttempt> lastRecovery;
    // The steps tried so far by step and result, for the metrics.
    std::map<std::pair<QString, QString>, quint64> recoveries;
};

} // namespace quorvel::service
