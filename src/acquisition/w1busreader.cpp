#include "w1busreader.h"

#include "w1busworker.h"
#include "webpagecomponent.h"

#include <QThread>

namespace quorvel::acquisition {

W1BusReader::W1BusReader(const QString& root, QObject* parent)
    : SensorReader(parent), thread_(new QThread), worker_(new W1BusWorker(root)),
      noAnswerAfterMs_(WebPageComponent::DefaultTimeoutMs)
{
    thread_->setObjectName(QStringLiteral("w1 bus"));
    worker_->moveToThread(thread_);
    connect(thread_, &QThread::finished, worker_, &QObject::deleteLater);
    connect(worker_, &W1BusWorker::answered, this, &W1BusReader::onAnswered);
    connect(worker_, &W1BusWorker::listed, this, &W1BusReader::onListed);
    noAnswer_.setSingleShot(true);
    connect(&noAnswer_, &QTimer::timeout, this, &W1BusReader::onNoAnswer);
    thread_->start();
}

W1BusReader::~W1BusReader()
{
    disconnect(worker_, nullptr, this, nullptr);
    if (returned_ == sent_) {
        // Idle: its loop ends at once.
        thread_->quit();
        thread_->wait();
        delete thread_;
        return;
    }
    // A read is under way and may hang for good: the thread ends, and is deleted, once it returns (connected
    // before the quit, so a read that returns meanwhile is not missed). At exit a thread still hung keeps its
    // QThread, reachable from the thread itself, to the end of the process.
    connect(thread_, &QThread::finished, thread_, &QObject::deleteLater);
    thread_->quit();
}

void W1BusReader::read(int slot)
{
    if (hangingSince_.isValid()) {
        answerLater(slot, {ReadOutcome::NoAnswer, 0, hangReason()});
        return;
    }
    if (slot < 0 || slot >= romCodes_.size()) {
        answerLater(slot, {ReadOutcome::NoSensor, 0, QStringLiteral("no sensor in slot %1").arg(slot + 1)});
        return;
    }
    pending_ = ++sent_;
    pendingSlot_ = slot;
    noAnswer_.start(noAnswerAfterMs_);
    QMetaObject::invokeMethod(worker_, [worker = worker_, request = pending_, codes = romCodes_, slot] {
        worker->read(request, codes, slot);
    });
}

void W1BusReader::cancel()
{
    ++cancels_;
    pending_ = 0;
    noAnswer_.stop();
}

void W1BusReader::discover()
{
    if (hangingSince_.isValid()) {
        QMetaObject::invokeMethod(
            this, [this, reason = hangReason()] { emit discoveryFailed(reason); }, Qt::QueuedConnection);
        return;
    }
    pending_ = ++sent_;
    pendingSlot_ = -1;
    noAnswer_.start(noAnswerAfterMs_);
    QMetaObject::invokeMethod(worker_, [worker = worker_, request = pending_] { worker->discover(request); });
}

void W1BusReader::settle(quint64 request)
{
    returned_ = request;
    if (hangingSince_.isValid() && returned_ == sent_)
        hangingSince_ = {};
}

void W1BusReader::onAnswered(quint64 request, const SensorAnswer& answer)
{
    settle(request);
    if (request != pending_)
        return;
    pending_ = 0;
    noAnswer_.stop();
    emit answered(pendingSlot_, answer);
}

void W1BusReader::onListed(quint64 request, const QStringList& romCodes, const QString& problem)
{
    settle(request);
    if (request != pending_)
        return;
    pending_ = 0;
    noAnswer_.stop();
    if (problem.isEmpty())
        emit discovered(romCodes);
    else
        emit discoveryFailed(problem);
}

void W1BusReader::onNoAnswer()
{
    hangingSince_ = QDateTime::currentDateTime();
    pending_ = 0;
    const QString reason = QStringLiteral("the bus gave no answer in %1 s: a read hangs in the kernel")
                               .arg(noAnswerAfterMs_ / 1000.0);
    if (pendingSlot_ < 0)
        emit discoveryFailed(reason);
    else
        emit answered(pendingSlot_, {ReadOutcome::NoAnswer, 0, reason});
}

QString W1BusReader::hangReason() const
{
    return QStringLiteral("a read hangs in the kernel since %1; no other is started on the bus meanwhile")
        .arg(hangingSince_.toString(QStringLiteral("HH:mm:ss")));
}

void W1BusReader::answerLater(int slot, const SensorAnswer& answer)
{
    QMetaObject::invokeMethod(
        this,
        [this, slot, answer, cancels = cancels_] {
            if (cancels == cancels_)
                emit answered(slot, answer);
        },
        Qt::QueuedConnection);
}

} // namespace quorvel::acquisition
