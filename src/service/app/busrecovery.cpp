#include "service/app/busrecovery.h"

#include "service/state/statestore.h"

#include "runtime/groupcommand.h"
#include "runtime/timer.h"

#include <QProcessEnvironment>

#include <algorithm>
#include <utility>

namespace quorvel::service {

using acquisition::BusAction;

QString spanText(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 7200)
        return seconds % 60 == 0 ? QStringLiteral("%1 min").arg(seconds / 60)
                                 : QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    const qint64 minutes = seconds / 60;
    return minutes % 60 == 0 ? QStringLiteral("%1 h").arg(minutes / 60)
                             : QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60);
}

namespace {

// As the metrics label the steps.
QString label(int step)
{
    static const QString labels[] = {QStringLiteral("search"), QStringLiteral("command"),
                                     QStringLiteral("rebind")};
    return labels[step];
}

QString doing(int step)
{
    static const QString words[] = {QStringLiteral("a search of the bus"), QStringLiteral("the command"),
                                    QStringLiteral("a rebind of the bus master")};
    return words[step];
}

} // namespace

BusRecovery::BusRecovery(QString source, RecoverySettings settings, acquisition::SensorReader& reader,
                         StateStore& store, runtime::MessageSink messages, Parts parts, QObject* parent)
    : QObject(parent), source_(std::move(source)), settings_(std::move(settings)), reader_(reader),
      store_(store), messages_(std::move(messages)), parts_(std::move(parts))
{
    if (!parts_.makeTimer)
        parts_.makeTimer = [](QObject* owner) -> runtime::Timer* { return new runtime::PreciseTimer(owner); };
    quiet_ = parts_.makeTimer(this);
    next_ = parts_.makeTimer(this);
    connect(quiet_, &runtime::Timer::timeout, this, &BusRecovery::becomeDown);
    connect(next_, &runtime::Timer::timeout, this, &BusRecovery::onNext);
    connect(&reader_, &acquisition::SensorReader::acted, this,
            [this](BusAction action, const QString& problem) {
                const Step step = action == BusAction::Search ? Step::Search : Step::Rebind;
                if (pending_ != step)
                    return;
                if (!problem.isEmpty())
                    failStep(attempt_, problem);
                answered(attempt_);
            });
}

BusRecovery::~BusRecovery()
{
    delete command_;
}

void BusRecovery::start()
{
    running_ = true;
    lastGood_ = parts_.clock();
    quiet_->start(settings_.afterSeconds * 1000);
}

void BusRecovery::stop()
{
    running_ = false;
    quiet_->stop();
    next_->stop();
    delete command_;
    commandRuns_ = false;
}

void BusRecovery::onRead(bool good)
{
    if (!running_ || !good)
        return;
    const QDateTime now = parts_.clock();
    if (down_) {
        const std::optional<Step> by = pending_;
        settle(QStringLiteral("recovered"));
        tell(QStringLiteral("source %1: the bus reads again after %2 down (%3)")
                 .arg(source_, spanText(lastGood_.secsTo(now)),
                      by ? QStringLiteral("recovered by the %1").arg(label(int(*by)))
                         : QStringLiteral("by itself")));
        down_ = false;
        overdue_ = false;
        pausing_ = false;
        round_ = 0;
        next_->stop();
        if (BusHealth* bus = health())
            bus->downSince = QDateTime();
        lastGood_ = now;
        quiet_->start(settings_.afterSeconds * 1000);
        emit readsAgain();
        return;
    }
    lastGood_ = now;
    quiet_->start(settings_.afterSeconds * 1000);
}

QList<BusRecovery::Step> BusRecovery::offered() const
{
    QList<Step> steps;
    if (!settings_.enabled)
        return steps;
    if (reader_.offers(BusAction::Search))
        steps << Step::Search;
    if (!settings_.command.isEmpty())
        steps << Step::Command;
    if (!settings_.rebindDevice.isEmpty() && reader_.offers(BusAction::Rebind))
        steps << Step::Rebind;
    return steps;
}

BusHealth* BusRecovery::health() const
{
    SourceState* source = store_.source(source_);
    return source ? &source->health : nullptr;
}

void BusRecovery::becomeDown()
{
    down_ = true;
    round_ = 0;
    if (BusHealth* bus = health())
        bus->downSince = lastGood_;
    beginRound();
}

void BusRecovery::beginRound()
{
    pausing_ = false;
    steps_ = offered();
    stepIndex_ = 0;
    tried_.clear();
    // A source with no step to try waits for its reads alone.
    if (!steps_.isEmpty())
        tryStep();
}

void BusRecovery::tryStep()
{
    settle(QStringLiteral("not_recovered"));
    const Step step = steps_.at(stepIndex_);
    const int attempt = ++attempt_;
    pending_ = step;
    answered_ = false;
    overdue_ = false;
    tried_ << label(int(step));
    if (BusHealth* bus = health())
        bus->lastRecovery = RecoveryAttempt{parts_.clock(), label(int(step)), {}, {}};
    if (round_ == 0)
        tell(QStringLiteral("source %1: no good read for %2; trying %3")
                 .arg(source_, spanText(lastGood_.secsTo(parts_.clock())), doing(int(step))));
    next_->start(settings_.afterSeconds * 1000);
    switch (step) {
    case Step::Search:
        reader_.act(BusAction::Search);
        break;
    case Step::Rebind:
        reader_.act(BusAction::Rebind, settings_.rebindDevice);
        break;
    case Step::Command:
        runCommand(attempt);
        break;
    }
}

void BusRecovery::runCommand(int attempt)
{
    // One at a time: the last one is still within its time limit.
    if (commandRuns_) {
        failStep(attempt, QStringLiteral("the one started before still runs"));
        answered(attempt);
        return;
    }
    auto* run = new runtime::GroupCommand(parts_.commandKillAfterMs, this);
    if (!run->start(settings_.command, QProcessEnvironment::systemEnvironment())) {
        delete run;
        failStep(attempt, QStringLiteral("%1 refused by the system (descriptors, processes or memory)")
                              .arg(settings_.command.front()));
        answered(attempt);
        return;
    }
    command_ = run;
    commandRuns_ = true;
    connect(run, &runtime::GroupCommand::ended, this, [this, attempt](bool ok, const QString& how) {
        commandRuns_ = false;
        if (!ok)
            failStep(attempt, how);
        answered(attempt);
    });
    connect(run, &runtime::GroupCommand::cannotStart, this, [this, attempt](const QString& reason) {
        commandRuns_ = false;
        failStep(attempt, QStringLiteral("%1 cannot be started: %2").arg(settings_.command.front(), reason));
        answered(attempt);
    });
}

void BusRecovery::failStep(int attempt, const QString& problem)
{
    if (attempt != attempt_ || !pending_)
        return; // its time is over: counted not recovered
    const int step = int(*std::exchange(pending_, std::nullopt));
    count(label(step), QStringLiteral("failed"), problem);
    tried_.last() += QStringLiteral(" (failed: %1)").arg(problem);
    if (round_ == 0)
        tell(QStringLiteral("source %1: %2 failed: %3").arg(source_, doing(step), problem));
}

void BusRecovery::answered(int attempt)
{
    if (attempt != attempt_)
        return;
    answered_ = true;
    if (std::exchange(overdue_, false))
        onNext();
}

void BusRecovery::settle(const QString& result)
{
    if (!pending_)
        return;
    count(label(int(*std::exchange(pending_, std::nullopt))), result, {});
}

void BusRecovery::count(const QString& step, const QString& result, const QString& detail)
{
    BusHealth* bus = health();
    if (!bus)
        return;
    ++bus->recoveries[{step, result}];
    if (bus->lastRecovery && bus->lastRecovery->step == step && bus->lastRecovery->result.isEmpty()) {
        bus->lastRecovery->result = result;
        bus->lastRecovery->detail = detail;
    }
}

void BusRecovery::onNext()
{
    if (!down_)
        return;
    if (pausing_) {
        beginRound();
        return;
    }
    // A step that may take longer than `after` (a command, a rebind: 30 s each) is waited for, so that its
    // failure is told and counted as its own.
    if (!answered_) {
        overdue_ = true;
        return;
    }
    if (++stepIndex_ < steps_.size())
        tryStep();
    else
        beginPause();
}

void BusRecovery::beginPause()
{
    settle(QStringLiteral("not_recovered"));
    const qint64 pause =
        std::min<qint64>(qint64(settings_.afterSeconds) << std::min(round_ + 1, 20), MaxPauseSeconds);
    tell(QStringLiteral("source %1: still down after %2; tried %3: not recovered; next try in %4")
             .arg(source_, spanText(lastGood_.secsTo(parts_.clock())), tried_.join(QStringLiteral(", ")),
                  spanText(pause)));
    ++round_;
    pausing_ = true;
    next_->start(int(pause * 1000));
}

void BusRecovery::tell(const QString& text)
{
    // Turned off, it only keeps the time since the bus is down, for the page.
    if (!settings_.enabled)
        return;
    const QDateTime now = parts_.clock();
    while (!told_.empty() && told_.front().secsTo(now) >= 3600)
        told_.pop_front();
    if (told_.size() >= std::size_t(LinesPerHour)) {
        ++heldBack_;
        return;
    }
    told_.push_back(now);
    messages_(
        heldBack_ == 0
            ? text
            : text + QStringLiteral(" (%1 more recovery lines held back)").arg(std::exchange(heldBack_, 0)));
}

} // namespace quorvel::service
