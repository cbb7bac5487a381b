#include "service/state/historyfill.h"

#include "logfile/logrecord.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

namespace quorvel::service {

namespace {

// A cancelled read stops after at most this much more of the file.
constexpr qint64 ChunkBytes = 1024 * 1024;

bool isCancelled(const std::atomic_bool* cancelled)
{
    return cancelled && cancelled->load(std::memory_order_relaxed);
}

// The last `window` bytes of the file, read a chunk at a time; nothing when it cannot be read or the read
// was cancelled.
std::optional<QByteArray> readTail(QFile& file, qint64 size, qint64 window, const std::atomic_bool* cancelled)
{
    if (!file.seek(size - window))
        return std::nullopt;
    QByteArray tail;
    tail.reserve(window);
    while (tail.size() < window) {
        if (isCancelled(cancelled))
            return std::nullopt;
        const QByteArray chunk = file.read(std::min(window - tail.size(), ChunkBytes));
        if (chunk.isEmpty())
            break;
        tail += chunk;
    }
    return tail;
}

// One line of the tail without its line end.
std::optional<acquisition::LogRecord> recordAt(const QByteArray& tail, qsizetype from, qsizetype end,
                                               const QLocale& locale)
{
    if (end > from && tail.at(end - 1) == '\r')
        --end;
    if (end <= from)
        return std::nullopt;
    return acquisition::parseAnyLogRecord(QString::fromLocal8Bit(tail.mid(from, end - from)), locale);
}

} // namespace

HistoryFill readHistoryFromLog(const QString& path, const QLocale& locale, const QDateTime& now,
                               int sensorCount, const std::atomic_bool* cancelled, qint64 maxBytes)
{
    HistoryFill fill{SensorHistory(sensorCount)};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fill;
    const qint64 size = file.size();
    const QDateTime dayAgo = now.addSecs(-qint64(SensorHistory::Minutes) * 60);
    qint64 window = std::min<qint64>(size, ChunkBytes);
    QByteArray tail;
    for (;;) {
        auto read = readTail(file, size, window, cancelled);
        if (!read)
            return fill;
        tail = std::move(*read);
        // The first line of a window that does not start the file may be cut; it is not read.
        const qsizetype firstLine = window < size ? tail.indexOf('\n') + 1 : 0;
        const qsizetype end = tail.indexOf('\n', firstLine);
        const auto first = end > firstLine ? recordAt(tail, firstLine, end, locale) : std::nullopt;
        if (window >= size || window >= maxBytes || (first && first->when < dayAgo))
            break;
        window = std::min({size, maxBytes, window * 4});
    }
    qint64 found = 0;
    qsizetype from = window < size ? tail.indexOf('\n') + 1 : 0;
    for (qsizetype end; from < tail.size() && (end = tail.indexOf('\n', from)) >= 0; from = end + 1) {
        if (isCancelled(cancelled))
            return fill;
        const auto record = recordAt(tail, from, end, locale);
        if (!record || record->readings.size() != sensorCount || record->when < dayAgo || record->when > now)
            continue;
        for (qsizetype slot = 0; slot < record->readings.size(); ++slot)
            fill.history.add(int(slot), record->when, record->readings[slot]);
        ++found;
    }
    fill.found = found;
    return fill;
}

qint64 fillHistoryFromLog(SensorHistory& history, const QString& path, const QLocale& locale,
                          const QDateTime& now, qint64 maxBytes)
{
    const HistoryFill fill = readHistoryFromLog(path, locale, now, history.sensorCount(), nullptr, maxBytes);
    history.merge(fill.history);
    return fill.found;
}

HistoryFillJob::HistoryFillJob(const QString& path, const QLocale& locale, const QDateTime& now,
                               int sensorCount, QObject* parent)
    : QObject(parent)
{
    thread_ = QThread::create([this, path, locale, now, sensorCount] {
        fill_ = readHistoryFromLog(path, locale, now, sensorCount, &cancelled_);
    });
    thread_->setParent(this);
    connect(thread_, &QThread::finished, this, [this] {
        if (dropped_)
            deleteLater();
        else
            emit filled(fill_);
    });
    thread_->start();
}

void HistoryFillJob::drop(std::unique_ptr<HistoryFillJob> job)
{
    if (!job)
        return;
    job->cancelled_ = true;
    job->dropped_ = true; // its thread's end, not come here yet, deletes it
    // Should the program end first, the application ends it.
    job.release()->setParent(QCoreApplication::instance());
}

HistoryFillJob::~HistoryFillJob()
{
    cancelled_ = true;
    thread_->wait();
}

} // namespace quorvel::service
