#include "w1busreader.h"

#include "w1busthread.h"
#include "w1rebind.h"

#include "acquisition/sensorlist.h"

#include <algorithm>
#include <utility>

namespace quorvel::acquisition {

W1BusReader::W1BusReader(const QString& root, QObject* parent)
    : SensorReader(parent), root_(root), bus_(W1BusThread::acquire(root))
{
    connect(bus_, &W1BusThread::answered, this, &W1BusReader::onAnswered);
    connect(bus_, &W1BusThread::listed, this, &W1BusReader::onListed);
    connect(bus_, &W1BusThread::setUpDone, this, &W1BusReader::onSetUp);
    connect(bus_, &W1BusThread::noticed, this, &SensorReader::noticed);
    connect(bus_, &W1BusThread::bulkConversion, this, &SensorReader::bulkConversion);
    noAnswer_.setSingleShot(true);
    connect(&noAnswer_, &QTimer::timeout, this, &W1BusReader::onNoAnswer);
    rebindTimer_.setSingleShot(true);
    connect(&rebindTimer_, &QTimer::timeout, this, [this] {
        rebinding_ = 0;
        emit acted(BusAction::Rebind,
                   QStringLiteral("no answer within %1 s").arg(rebindBound_.count() / 1000.0));
    });
}

W1BusReader::~W1BusReader()
{
    bus_->disconnect(this);
    bus_->release();
}

void W1BusReader::setSensors(const QStringList& romCodes)
{
    romCodes_ = romCodes;
    setUpDue_ = true;
}

void W1BusReader::setResolutions(const QList<std::optional<int>>& bits, bool save)
{
    resolutions_ = bits;
    saveResolutions_ = save;
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
    // Queued ahead of the read, so the sweep's bulk conversion already runs at the new resolution.
    if (std::exchange(setUpDue_, false))
        setUpRequest_ = bus_->setUp(romCodes_, resolutions_, saveResolutions_);
    ask(bus_->read(romCodes_, slot), slot);
}

void W1BusReader::discover()
{
    if (hangingSince_.isValid()) {
        QMetaObject::invokeMethod(
            this, [this, reason = hangReason()] { listingFailed(DiscoverySlot, reason); },
            Qt::QueuedConnection);
        return;
    }
    ask(bus_->discover(), DiscoverySlot);
}

bool W1BusReader::offers(BusAction action) const
{
    return action == BusAction::Search || action == BusAction::Rebind;
}

void W1BusReader::act(BusAction action, const QString& target)
{
    const auto failLater = [this, action](const QString& problem) {
        QMetaObject::invokeMethod(
            this, [this, action, problem] { emit acted(action, problem); }, Qt::QueuedConnection);
    };
    if (action == BusAction::Search) {
        if (hangingSince_.isValid())
            failLater(hangReason());
        else
            ask(bus_->search(), SearchSlot);
        return;
    }
    if (rebinding_ != 0)
        return failLater(QStringLiteral("a rebind is still under way"));
    const quint64 number = ++rebinds_;
    if (!startRebind(target, this, [this, number](const QString& problem) { onRebound(number, problem); }))
        return failLater(
            QStringLiteral("%1 rebinds still hang in the kernel; no other is started").arg(MaxRebindThreads));
    rebinding_ = number;
    rebindTimer_.start(rebindBound_);
}

void W1BusReader::onRebound(quint64 number, const QString& problem)
{
    if (number != rebinding_)
        return;
    rebinding_ = 0;
    rebindTimer_.stop();
    emit acted(BusAction::Rebind, problem);
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

void W1BusReader::checkHang()
{
    // The thread may be free again: of a hang, or of another reader's request.
    if (hangingSince_.isValid() && bus_->idle())
        hangingSince_ = {};
}

std::optional<W1BusReader::Request> W1BusReader::take(quint64 number)
{
    checkHang();
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

void W1BusReader::onListed(quint64 number, const W1Tree::Listing& listing)
{
    const auto request = take(number);
    if (!request)
        return;
    // A search that found the tree but was refused by a master still lists what is there.
    if (!listing.devices.isEmpty() || listing.problem.isEmpty())
        emit devicesFound(listing.devices);
    if (!listing.problem.isEmpty())
        listingFailed(request->slot, listing.problem);
    else if (request->slot == SearchSlot)
        emit acted(BusAction::Search, {});
    else
        emit discovered(listing.romCodes);
}

void W1BusReader::listingFailed(int slot, const QString& reason)
{
    if (slot == SearchSlot)
        emit acted(BusAction::Search, reason);
    else
        emit discoveryFailed(reason);
}

void W1BusReader::onSetUp(quint64 number, const QList<SensorFacts>& facts, const QString& notice)
{
    checkHang();
    if (number != setUpRequest_)
        return;
    for (qsizetype slot = 0; slot < facts.size(); ++slot)
        emit described(int(slot), facts.at(slot));
    if (!notice.isEmpty() && !std::exchange(toldParasites_, true))
        emit noticed(notice);
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
            listingFailed(request.slot, reason);
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
