#include "w1busreader.h"

#include "w1busthread.h"

#include "acquisition/sensorlist.h"

#include <algorithm>
#include <utility>

namespace quorvel::acquisition {

W1BusReader::W1BusReader(const QString& root, QObject* parent)
    : SensorReader(parent), root_(root), bus_(W1BusThread::acquire(root))
{
    connect(bus_, &W1BusThread::answered, this, &W1BusReader::onAnswered);
    connect(bus_, &W1BusThread::listed, this, &W1BusReader::onListed);
    connect(bus_, &W1BusThread::noticed, this, &SensorReader::noticed);
    connect(bus_, &W1BusThread::bulkConversion, this, &SensorReader::bulkConversion);
    noAnswer_.setSingleShot(true);
    connect(&noAnswer_, &QTimer::timeout, this, &W1BusReader::onNoAnswer);
}

W1BusReader::~W1BusReader()
{
    bus_->disconnect(this);
    bus_->release();
}

QString W1BusReader::slotText(int slot) const
{
    return root_ + u'/' + linuxId(romCodes_.value(slot));
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
    ask(bus_->read(romCodes_, slot), slot);
}

void W1BusReader::discover()
{
    if (hangingSince_.isValid()) {
        QMetaObject::invokeMethod(
            this, [this, reason = hangReason()] { emit discoveryFailed(reason); }, Qt::QueuedConnection);
        return;
    }
    ask(bus_->discover(), -1);
}

void W1BusReader::ask(quint64 number, int slot)
{
    waiting_.append({number, slot, QDeadlineTimer(noAnswerAfterMs())});
    if (waiting_.size() == 1)
        watchOldest();
}

void W1BusReader::cancel()
{
    ++cancels_;
    // The thread still does them; their answers find no request.
    waiting_.removeIf([](const Request& request) { return request.slot >= 0; });
    watchOldest();
}

void W1BusReader::watchOldest()
{
    if (waiting_.isEmpty())
        noAnswer_.stop();
    else
        noAnswer_.start(int(std::max<qint64>(0, waiting_.first().due.remainingTime())));
}

std::optional<W1BusReader::Request> W1BusReader::take(quint64 number)
{
    // The thread may be free again: of a hang, or of another reader's request.
    if (hangingSince_.isValid() && bus_->idle())
        hangingSince_ = {};
    const auto found = std::find_if(waiting_.begin(), waiting_.end(),
                                    [number](const Request& request) { return request.number == number; });
    if (found == waiting_.end())
        return std::nullopt;
    const Request request = *found;
    waiting_.erase(found);
    watchOldest();
    return request;
}

void W1BusReader::onAnswered(quint64 number, const SensorAnswer& answer)
{
    if (const auto request = take(number))
        emit answered(request->slot, answer);
}

void W1BusReader::onListed(quint64 number, const QStringList& romCodes, const QString& problem)
{
    if (!take(number))
        return;
    if (problem.isEmpty())
        emit discovered(romCodes);
    else
        emit discoveryFailed(problem);
}

void W1BusReader::onNoAnswer()
{
    hangingSince_ = QDateTime::currentDateTime();
    const QString reason = QStringLiteral("the bus gave no answer in %1 s: a read hangs in the kernel")
                               .arg(noAnswerAfterMs() / 1000.0);
    // Everything asked after the oldest waits behind it on the thread.
    const QList<Request> stuck = std::exchange(waiting_, {});
    const quint64 cancels = cancels_;
    for (const Request& request : stuck) {
        if (request.slot < 0)
            emit discoveryFailed(reason);
        else if (cancels == cancels_) // a receiver may have stopped the cycle
            emit answered(request.slot, {ReadOutcome::NoAnswer, 0, reason});
    }
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
