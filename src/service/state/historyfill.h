#pragma once

#include "service/state/sensorhistory.h"

#include <QDateTime>
#include <QLocale>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class QThread;

namespace quorvel::service {

// The day's history read from the end of the service's own log, so a restart keeps the charts. A log of
// months is not read whole: the end is read in growing windows until one starts before the day, at most
// MaxTailBytes. Lines of another count of readings (another sensor list) are passed over.
inline constexpr qint64 MaxTailBytes = 64LL * 1024 * 1024;
struct HistoryFill {
    SensorHistory history;
    qint64 found = -1; // the records taken; -1 when the file cannot be read or the read was cancelled
};
// Stops soon after `cancelled` is set: between two chunks of the file or two lines.
[[nodiscard]] HistoryFill readHistoryFromLog(const QString& path, const QLocale& locale, const QDateTime& now,
                                             int sensorCount, const std::atomic_bool* cancelled = nullptr,
                                             qint64 maxBytes = MaxTailBytes);
// Read and merged into history at once; the records found, or -1.
qint64 fillHistoryFromLog(SensorHistory& history, const QString& path, const QLocale& locale,
                          const QDateTime& now, qint64 maxBytes = MaxTailBytes);

// readHistoryFromLog() on a thread of its own, since up to MaxTailBytes of a log would hold up every source
// and the listener; filled() comes on the thread that made the job. Destroying the job cancels the read and
// waits for the chunk or line at hand: the thread never outlives what it writes to.
class HistoryFillJob final : public QObject {
    Q_OBJECT
public:
    HistoryFillJob(const QString& path, const QLocale& locale, const QDateTime& now, int sensorCount,
                   QObject* parent = nullptr);
    ~HistoryFillJob() override;
    // Cancels a job whose filled() has not come, without waiting for its read (a file system may hang it):
    // the job deletes itself once its thread ends, and fills nothing.
    static void drop(std::unique_ptr<HistoryFillJob> job);
    HistoryFillJob(const HistoryFillJob&) = delete;
    HistoryFillJob& operator=(const HistoryFillJob&) = delete;

signals:
    void filled(const quorvel::service::HistoryFill& fill);

private:
    std::atomic_bool cancelled_{false};
    bool dropped_ = false; // on this thread only
    HistoryFill fill_;
    QThread* thread_ = nullptr;
};

} // namespace quorvel::service
