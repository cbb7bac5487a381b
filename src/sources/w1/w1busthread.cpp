#include "w1busthread.h"

#include "w1busworker.h"

#include <QDir>
#include <QHash>

namespace quorvel::acquisition {

namespace {

// Only the event loop's thread makes and ends readers, so this needs no lock.
QHash<QString, W1BusThread*>& threads()
{
    static QHash<QString, W1BusThread*> byRoot;
    return byRoot;
}

} // namespace

W1BusThread* W1BusThread::acquire(const QString& root)
{
    const QString key = QDir::cleanPath(QDir(root).absolutePath());
    W1BusThread*& bus = threads()[key];
    if (!bus)
        bus = new W1BusThread(key);
    ++bus->users_;
    return bus;
}

W1BusThread::W1BusThread(const QString& root) : root_(root), worker_(new W1BusWorker(root))
{
    thread_.setObjectName(QStringLiteral("w1 bus"));
    worker_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    connect(worker_, &W1BusWorker::answered, this, [this](quint64 request, const SensorAnswer& answer) {
        onReturned(request);
        emit answered(request, answer);
    });
    connect(worker_, &W1BusWorker::listed, this, [this](quint64 request, const W1Tree::Listing& listing) {
        onReturned(request);
        emit listed(request, listing);
    });
    connect(worker_, &W1BusWorker::setUpDone, this,
            [this](quint64 request, const QList<SensorFacts>& facts, const QString& notice) {
                onReturned(request);
                emit setUpDone(request, facts, notice);
            });
    connect(worker_, &W1BusWorker::noticed, this, &W1BusThread::noticed);
    connect(worker_, &W1BusWorker::bulkConversion, this, &W1BusThread::bulkConversion);
    thread_.start();
}

W1BusThread::~W1BusThread()
{
    // Idle: its loop ends at once.
    thread_.quit();
    thread_.wait();
}

void W1BusThread::release()
{
    --users_;
    if (!unused())
        return;
    threads().remove(root_);
    delete this;
}

void W1BusThread::onReturned(quint64 request)
{
    returned_ = request;
    // The last reader went while a read hung; the kernel let it go now.
    if (unused() && threads().value(root_) == this) {
        threads().remove(root_);
        deleteLater();
    }
}

template <typename Call> quint64 W1BusThread::queue(Call call)
{
    QMetaObject::invokeMethod(worker_,
                              [worker = worker_, request = ++sent_, call] { call(worker, request); });
    return sent_;
}

quint64 W1BusThread::read(const QStringList& romCodes, int slot)
{
    return queue(
        [romCodes, slot](W1BusWorker* worker, quint64 request) { worker->read(request, romCodes, slot); });
}

quint64 W1BusThread::discover()
{
    return queue([](W1BusWorker* worker, quint64 request) { worker->discover(request); });
}

quint64 W1BusThread::search()
{
    return queue([](W1BusWorker* worker, quint64 request) { worker->search(request); });
}

quint64 W1BusThread::setUp(const QStringList& romCodes, const QList<std::optional<int>>& bits, bool save)
{
    return queue([romCodes, bits, save](W1BusWorker* worker, quint64 request) {
        worker->setUp(request, romCodes, bits, save);
    });
}

} // namespace quorvel::acquisition
