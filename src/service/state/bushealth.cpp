#include "service/state/bushealth.h"

namespace quorvel::service {

void FailureWindow::add(const QDateTime& when, bool failed)
{
    const qint64 index = when.toSecsSinceEpoch() / BucketSeconds;
    Bucket& bucket = buckets_[std::size_t(index % qint64(buckets_.size()))];
    // A bucket a whole window old is used again for the present.
    if (bucket.index != index)
        bucket = Bucket{index, 0, 0};
    ++bucket.reads;
    bucket.failed += failed ? 1 : 0;
}

QString ghostsNotice(const QStringList& ghosts)
{
    if (ghosts.isEmpty())
        return {};
    return QStringLiteral("%1 %2: the bus has no pull-up, or it is too weak")
        .arg(ghosts.size() == 1 ? QStringLiteral("a device") : QStringLiteral("devices"),
             ghosts.join(QStringLiteral(", ")));
}

std::optional<double> FailureWindow::ratio(const QDateTime& now) const
{
    const qint64 newest = now.toSecsSinceEpoch() / BucketSeconds;
    const qint64 oldest = newest - qint64(buckets_.size()) + 1;
    quint64 reads = 0;
    quint64 failed = 0;
    for (const Bucket& bucket : buckets_)
        if (bucket.index >= oldest && bucket.index <= newest) {
            reads += bucket.reads;
            failed += bucket.failed;
        }
    if (reads == 0)
        return std::nullopt;
    return double(failed) / double(reads);
}

} // namespace quorvel::service
