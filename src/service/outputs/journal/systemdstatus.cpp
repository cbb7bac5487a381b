#include "service/outputs/journal/systemdstatus.h"

#include "service/state/statestore.h"

#include "runtime/conversions.h"

#include <QElapsedTimer>
#include <QMap>

namespace quorvel::service {

namespace {

qint64 steadyMs()
{
    static const QElapsedTimer started = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return started.elapsed();
}

} // namespace

SystemdStatus::SystemdStatus(Send send, QObject* parent)
    : QObject(parent), send_(std::move(send)), clock_(&steadyMs)
{
    setTimer(std::make_unique<runtime::PreciseTimer>());
}

void SystemdStatus::setTimer(std::unique_ptr<runtime::Timer> timer)
{
    timer_ = std::move(timer);
    connect(timer_.get(), &runtime::Timer::timeout, this, &SystemdStatus::sendHeld);
}

void SystemdStatus::onStarted()
{
    show(QStringLiteral("Running; no sweep completed yet"));
}

void SystemdStatus::onSweep(const acquisition::SweepReport& sweep, quint64 sweeps)
{
    lastSweep_ = QStringLiteral("Last sweep at %1; %2")
                     .arg(sweep.when.toString(Qt::ISODate), runtime::countText(qint64(sweeps), "sweep"));
    // While a source is down the sweep goes on with old values: the outage is what to tell.
    if (outage_.isEmpty())
        show(lastSweep_);
}

void SystemdStatus::onReachability(const StateStore& store)
{
    // By where it is, so which of several outages is told does not depend on the order they began.
    QMap<QString, QString> outages;
    for (const auto& source : store.sources())
        if (!source->reachable()) {
            const QString where = QStringLiteral("%1 at %2").arg(source->noun, source->address);
            outages.insert(where, QStringLiteral("The %1 does not answer since %2: %3")
                                      .arg(where, source->reachability.since().toString(Qt::ISODate),
                                           source->reachability.reason()));
        }
    const QString outage = outages.isEmpty() ? QString() : outages.first();
    if (outage == std::exchange(outage_, outage))
        return;
    if (!outage_.isEmpty())
        show(outage_);
    else
        show(lastSweep_.isEmpty() ? QStringLiteral("Running; no sweep completed yet") : lastSweep_);
}

void SystemdStatus::show(const QString& text)
{
    if (text == sent_) {
        held_.clear();
        timer_->stop();
        return;
    }
    const qint64 now = clock_();
    if (!sentOnce_ || now - sentAt_ >= MinIntervalMs) {
        held_.clear();
        timer_->stop();
        sent_ = text;
        sentAt_ = now;
        sentOnce_ = true;
        send_(text);
        return;
    }
    held_ = text;
    if (!timer_->isActive())
        timer_->start(int(MinIntervalMs - (now - sentAt_)));
}

void SystemdStatus::sendHeld()
{
    if (held_.isEmpty())
        return;
    sent_ = std::exchange(held_, QString());
    sentAt_ = clock_();
    send_(sent_);
}

} // namespace quorvel::service
