#include "service/history/historystore.h"

#include "service/history/historysampler.h"
#include "service/history/historywriter.h"
#include "service/history/sqlstatement.h"
#include "service/history/storeoutbox.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <sqlite3.h>

namespace quorvel::service::history {

namespace {

// How long a stop waits for the last batch; a hung disk is then left to the writer's thread alone.
constexpr int StopWaitMs = 15000;

// The good reads of each sensor's samples since `from`, as the day's figures.
QHash<QString, DayStats> dayStatsSince(HistoryDatabase& database, qint64 from)
{
    QHash<QString, DayStats> stats;
    SqlStatement query(database.handle(),
                       "SELECT s.rom, min(x.min), max(x.max), sum(x.mean * (x.reads - x.failed)),"
                       " sum(x.reads - x.failed) FROM samples x JOIN sensors s ON s.id = x.sensor"
                       " WHERE x.time >= ?1 AND x.mean IS NOT NULL GROUP BY x.sensor");
    if (!query.prepared())
        return stats;
    query.bind(1, from);
    while (query.step() == SQLITE_ROW) {
        const qint64 good = query.integer(4);
        if (good > 0)
            stats.insert(query.text(0), {fromMilli(query.integer(1)), fromMilli(query.integer(2)),
                                         fromMilli(query.integer(3)) / double(good), good});
    }
    query.reset();
    return stats;
}

std::optional<qint64> newestSample(HistoryDatabase& database)
{
    SqlStatement query(database.handle(), "SELECT max(time) FROM samples");
    return query.step() == SQLITE_ROW ? query.optional(0) : std::nullopt;
}

} // namespace

std::unique_ptr<HistoryStore> HistoryStore::open(const StoreSettings& settings,
                                                 std::optional<OpenError>* error, QObject* parent)
{
    auto database = HistoryDatabase::open(settings.path, HistoryDatabase::Mode::Write, error);
    if (!database)
        return nullptr;
    std::unique_ptr<HistoryStore> store(new HistoryStore(settings, parent));
    const QDate day = QDate::currentDate();
    store->sampler_->seedDay(day, dayStatsSince(*database, QDateTime(day, QTime(0, 0)).toSecsSinceEpoch()));
    const std::optional<qint64> newest = newestSample(*database);
    store->start(std::move(database), newest);
    return store;
}

HistoryStore::HistoryStore(const StoreSettings& settings, QObject* parent)
    : QObject(parent), settings_(settings), reader_(settings.path, settings.sampleInterval),
      sampler_(new HistorySampler(settings.sampleInterval, this))
{
}

void HistoryStore::start(std::unique_ptr<HistoryDatabase> database, std::optional<qint64> newestSample)
{
    writer_ = new HistoryWriter(std::move(database), settings_);
    thread_ = new QThread(this);
    writer_->moveToThread(thread_);
    outbox_ = new StoreOutbox(settings_.path, writer_, newestSample, this);
    connect(writer_, &HistoryWriter::notice, this, &HistoryStore::notice);
    connect(writer_, &HistoryWriter::committed, outbox_, &StoreOutbox::onCommitted);
    connect(writer_, &HistoryWriter::samplesLost, outbox_,
            [outbox = outbox_](const QString& output, qint64 rows, qint64 from, qint64 to, qint64 time,
                               qint64 sensor) {
                outbox->onLost(output, rows, from, to, {time, sensor});
            });
    connect(sampler_, &HistorySampler::batchReady, this, [writer = writer_](const Batch& batch) {
        QMetaObject::invokeMethod(
            writer, [writer, batch] { writer->write(batch); }, Qt::QueuedConnection);
    });
    thread_->start();
    QMetaObject::invokeMethod(
        writer_, [writer = writer_] { writer->start(); }, Qt::QueuedConnection);
}

HistoryStore::~HistoryStore()
{
    sampler_->flush();
    outbox_->detach();
    // After the batches before it: the writer tries what it holds once more and closes the file.
    QMetaObject::invokeMethod(
        writer_,
        [writer = writer_] {
            writer->write({});
            delete writer;
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    if (thread_->wait(QDeadlineTimer(StopWaitMs)))
        return;
    // The thread ends when the disk answers; should the program end first, the application ends it.
    connect(thread_, &QThread::finished, thread_, &QObject::deleteLater);
    thread_->setParent(QCoreApplication::instance());
}

void HistoryStore::watch(const StateStore& state)
{
    sampler_->watch(state);
}

void HistoryStore::flush()
{
    sampler_->flush();
}

Outbox& HistoryStore::outbox() const
{
    return *outbox_;
}

std::optional<DayStats> HistoryStore::today(const QString& romCode) const
{
    return sampler_->today(romCode);
}

void HistoryStore::setClock(std::function<QDateTime()> clock)
{
    sampler_->setClock(std::move(clock));
}

} // namespace quorvel::service::history
