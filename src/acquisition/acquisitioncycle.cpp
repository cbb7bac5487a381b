#include "acquisitioncycle.h"

#include "sweeprecorder.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace quorvel::acquisition {

AcquisitionCycle::AcquisitionCycle(SensorReader& reader, SweepRecorder* recorder, QObject* parent)
    : QObject(parent), reader_(reader), recorder_(recorder)
{
    setTimer(std::make_unique<runtime::PreciseTimer>());
    setDeadlineTimer(std::make_unique<runtime::PreciseTimer>());
    connect(&reader_, &SensorReader::answered, this, &AcquisitionCycle::onAnswered);
}

void AcquisitionCycle::setTimer(std::unique_ptr<runtime::Timer> timer)
{
    next_ = std::move(timer);
    connect(next_.get(), &runtime::Timer::timeout, this, &AcquisitionCycle::beginSlot);
}

void AcquisitionCycle::setDeadlineTimer(std::unique_ptr<runtime::Timer> timer)
{
    deadline_ = std::move(timer);
    connect(deadline_.get(), &runtime::Timer::timeout, this, &AcquisitionCycle::onDeadline);
}

void AcquisitionCycle::start(const QString& address)
{
    ++run_;
    next_->stop();
    deadline_->stop();
    recordNumber_ = 1;
    source_ = address;
    QStringList roms;
    for (const ListedSensor& sensor : sensors_)
        roms << sensor.romCode;
    reader_.cancel();
    reader_.setSource(address);
    reader_.setSensors(roms);
    QStringList texts;
    for (int slot = 0; slot < roms.size(); ++slot)
        texts << reader_.slotText(slot);
    table_ = SensorTable{};
    table_.setSlots(texts);
    raw_ = table_.Readings;
    plausibility_.forget();
    slot_ = 0;
    completionHeld_ = false;
    nextSlotHeld_ = false;
    sweepTookNumber_ = false;
    state_ = State::Ready;
    beginSlot();
}

void AcquisitionCycle::stop()
{
    state_ = State::Stopped;
    next_->stop();
    deadline_->stop();
    reader_.cancel();
    completionHeld_ = false;
    nextSlotHeld_ = false;
}

void AcquisitionCycle::beginSlot()
{
    if (state_ == State::Stopped)
        return;
    if (held_) {
        nextSlotHeld_ = true;
        state_ = State::Ready;
        return;
    }
    nextSlotHeld_ = false;

    // Empty slots are skipped; a table with no text at all has nothing to sweep.
    int skipped = 0;
    while (table_.isEmpty(slot_)) {
        if (++skipped > table_.count()) {
            state_ = State::Stopped;
            return;
        }
        if (++slot_ >= table_.count()) {
            slot_ = 0;
            if (!endOfSweep())
                return;
        }
    }

    const quint64 run = run_;
    if (slot_ == 0 || !sweepClock_.isValid())
        sweepClock_.start();
    emit slotStarted(slot_, table_.url(slot_));
    // A listener may have stopped or held the cycle.
    if (state_ == State::Stopped || run != run_)
        return;
    state_ = State::Loading;
    requested_ = QDateTime::currentDateTime();
    const int deadlineMs = reader_.noAnswerAfterMs() + ReaderAnswerMarginMs;
    readDue_.setRemainingTime(deadlineMs);
    if (!deadline_->isActive()) {
        watchedRead_ = ++read_;
        deadline_->start(deadlineMs);
    } else {
        ++read_;
    }
    reader_.read(slot_);
}

void AcquisitionCycle::onDeadline()
{
    if (state_ != State::Loading || completionHeld_)
        return;
    if (watchedRead_ != read_) {
        watchedRead_ = read_;
        deadline_->start(int(std::max<qint64>(0, readDue_.remainingTime())));
        return;
    }
    // An answer that still comes is no longer this slot's.
    reader_.cancel();
    onAnswered(slot_, {ReadOutcome::NoAnswer, 0,
                       QStringLiteral("no answer within %1 s; the read was given up")
                           .arg((reader_.noAnswerAfterMs() + ReaderAnswerMarginMs) / 1000.0)});
}

void AcquisitionCycle::onAnswered(int slot, const SensorAnswer& answer)
{
    if (state_ != State::Loading || slot != slot_ || completionHeld_)
        return;
    answer_ = answer;
    if (held_) {
        completionHeld_ = true;
        return;
    }
    finishSlot();
}

void AcquisitionCycle::resume()
{
    held_ = false;
    if (state_ == State::Stopped)
        return;
    if (completionHeld_) {
        completionHeld_ = false;
        finishSlot();
    } else if (nextSlotHeld_) {
        beginSlot();
    }
}

void AcquisitionCycle::finishSlot()
{
    const quint64 run = run_;
    if (answer_.outcome == ReadOutcome::Ok)
        if (auto reason = plausibility_.judge(slot_, answer_.value))
            answer_ = {ReadOutcome::Implausible, answer_.value, std::move(*reason)};
    const SensorTable::ReadResult result = table_.takeAnswer(slot_, answer_);
    if (result.outcome == ReadOutcome::Ok)
        plausibility_.taken(slot_, answer_.value);
    const bool gotAnswer = result.outcome != ReadOutcome::NoAnswer;
    const bool tookNumber = result.outcome == ReadOutcome::Ok || result.outcome == ReadOutcome::PowerOnReset;
    if (transform_ && tookNumber) {
        raw_[slot_] = table_.Readings[slot_];
        table_.Readings[slot_] = transform_(slot_, raw_[slot_]);
    }
    const float value = table_.Readings.value(slot_);
    const ListedSensor sensor = sensors_.value(slot_);
    emit sensorRead(SensorReading{source_, slot_, sensor.romCode, sensor.name, result.outcome, value,
                                  result.reason, QDateTime::currentDateTime(), requested_,
                                  transform_ ? std::optional<float>(raw_.value(slot_)) : std::nullopt});
    // A listener may have stopped or restarted the cycle.
    if (state_ == State::Stopped || run != run_)
        return;

    sweepTookNumber_ = sweepTookNumber_ || tookNumber;
    const bool sweepEnds = ++slot_ >= table_.count();
    const bool idleSweep = reader_.pausesAfterSweepWithoutNumber() && sweepEnds && !sweepTookNumber_;
    if (sweepEnds) {
        slot_ = 0;
        sweepTookNumber_ = false;
    }
    scheduleNextSlot(gotAnswer && !idleSweep, sweepEnds);
    if (sweepEnds)
        endOfSweep();
}

// A receiver of what this emits may stop or restart the cycle: false when this sweep is no longer the
// one to go on with.
bool AcquisitionCycle::endOfSweep()
{
    const quint64 run = run_;
    SweepReport sweep{source_, table_.Readings, QDateTime::currentDateTime(), std::nullopt, 0, {}};
    sweep.overran = std::exchange(overran_, false);
    if (recorder_ && recorder_->loggingActive()) {
        const qint64 lostBefore = recorder_->lostRecords();
        // The period's notice outlasts a single write's failure: losses stay shown once writing resumes.
        const runtime::Error error = recorder_->writeRecord(table_.Readings);
        sweep.recordsLost = std::max<qint64>(recorder_->lostRecords() - lostBefore, error ? 1 : 0);
        sweep.recordWritten = !error;
        sweep.logNotice = recorder_->notice();
        if (sweep.logNotice.isEmpty() && error)
            sweep.logNotice = error->reason;
        sweep.recordNumber = recordNumber_;
        // The counter sticks at its largest value; records go on being written.
        if (recordNumber_ < std::numeric_limits<std::int16_t>::max())
            ++recordNumber_;
    }
    if (state_ == State::Stopped || run != run_)
        return false;
    emit sweepCompleted(sweep);
    return state_ != State::Stopped && run == run_;
}

void AcquisitionCycle::scheduleNextSlot(bool gotAnswer, bool sweepEnds)
{
    // Through the event loop even without a pause, so the reader is never asked again from inside its own
    // answer.
    int waitMs = gotAnswer ? 0 : pauseMs_;
    if (sweepEnds && intervalMs_ > 0) {
        const qint64 left = intervalMs_ - sweepClock_.elapsed();
        overran_ = left < 0;
        waitMs = std::max(waitMs, int(std::max<qint64>(left, 0)));
    }
    state_ = waitMs == 0 ? State::Ready : State::Paused;
    next_->start(waitMs);
}

} // namespace quorvel::acquisition
