#include "acquisitioncycle.h"

#include "cycledisplay.h"
#include "pagecomponent.h"
#include "sweeprecorder.h"

#include "runtime/conversions.h"
#include "runtime/modaltracker.h"

#include <algorithm>
#include <limits>

namespace quorvel::acquisition {

using runtime::ModalTracker;

AcquisitionCycle::AcquisitionCycle(PageComponent& page, CycleDisplay* display, SweepRecorder* recorder,
                                   QObject* parent)
    : QObject(parent), page_(&page), display_(display), recorder_(recorder)
{
    setTimer(std::make_unique<runtime::PreciseTimer>());
    connect(page_, &PageComponent::completed, this, &AcquisitionCycle::onPageCompleted);
    // Queued: the handler that opened the box must run to its end before the cycle goes on. A Start
    // Logging whose chooser held slot 12's page would otherwise end that sweep before the file is open.
    connect(&ModalTracker::instance(), &ModalTracker::lastModalClosed, this, &AcquisitionCycle::onModalClosed,
            Qt::QueuedConnection);
}

AcquisitionCycle::AcquisitionCycle(SensorReader& reader, SweepRecorder* recorder, QObject* parent)
    : QObject(parent), reader_(&reader), display_(nullptr), recorder_(recorder)
{
    setTimer(std::make_unique<runtime::PreciseTimer>());
    connect(reader_, &SensorReader::answered, this, &AcquisitionCycle::onAnswered);
    connect(&ModalTracker::instance(), &ModalTracker::lastModalClosed, this, &AcquisitionCycle::onModalClosed,
            Qt::QueuedConnection);
}

void AcquisitionCycle::setTimer(std::unique_ptr<runtime::Timer> timer)
{
    next_ = std::move(timer);
    connect(next_.get(), &runtime::Timer::timeout, this, &AcquisitionCycle::onTimeout);
}

void AcquisitionCycle::start(const QString& adapterAddress)
{
    ++run_;
    next_->stop();
    recordNumber_ = 1;
    source_ = adapterAddress;
    table_ = SensorTable{};
    QStringList roms;
    for (const ListedSensor& sensor : sensors_)
        roms << sensor.romCode;
    table_.fill(adapterAddress, roms);
    if (reader_) {
        reader_->cancel();
        reader_->setSensors(roms);
    }
    raw_ = table_.Readings;
    slot_ = 0;
    completionHeld_ = false;
    nextSlotHeld_ = false;
    held_ = false;
    sweepTookNumber_ = false;
    state_ = State::Ready;
    beginSlot();
}

void AcquisitionCycle::stop()
{
    state_ = State::Stopped;
    next_->stop();
    if (reader_)
        reader_->cancel();
    completionHeld_ = false;
    nextSlotHeld_ = false;
}

void AcquisitionCycle::beginSlot()
{
    if (state_ == State::Stopped)
        return;
    if (held_ || ModalTracker::instance().isModalOpen()) {
        nextSlotHeld_ = true;
        state_ = State::Ready;
        return;
    }
    nextSlotHeld_ = false;

    // Empty slots are skipped; a table with no URL at all has nothing to sweep.
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

    const QString& url = table_.url(slot_);
    if (display_) {
        display_->setAddressText(url);
        display_->appendAddressText();
        while (display_->addressCount() > AddressListLimit)
            display_->removeOldestAddress();
    }

    state_ = State::Loading;
    requested_ = QDateTime::currentDateTime();
    if (reader_) {
        reader_->read(slot_);
        next_->start(reader_->noAnswerAfterMs() + ReaderAnswerMarginMs);
    } else {
        page_->Navigate(url);
    }
}

void AcquisitionCycle::onTimeout()
{
    // Only a reader's read runs with the timer running: its deadline passed.
    if (!reader_ || state_ != State::Loading) {
        beginSlot();
        return;
    }
    // An answer that still comes is no longer this slot's.
    reader_->cancel();
    onAnswered(slot_, {ReadOutcome::NoAnswer, 0,
                       QStringLiteral("no answer within %1 s; the read was given up")
                           .arg((reader_->noAnswerAfterMs() + ReaderAnswerMarginMs) / 1000.0)});
}

void AcquisitionCycle::onPageCompleted()
{
    if (state_ != State::Loading)
        return;
    if (ModalTracker::instance().isModalOpen()) {
        completionHeld_ = true;
        return;
    }
    finishSlot();
}

void AcquisitionCycle::onAnswered(int slot, const SensorAnswer& answer)
{
    if (state_ != State::Loading || slot != slot_)
        return;
    next_->stop();
    answer_ = answer;
    if (ModalTracker::instance().isModalOpen()) {
        completionHeld_ = true;
        return;
    }
    finishSlot();
}

void AcquisitionCycle::resume()
{
    held_ = false;
    if (state_ != State::Stopped && nextSlotHeld_ && !ModalTracker::instance().isModalOpen())
        beginSlot();
}

void AcquisitionCycle::onModalClosed()
{
    // A box opened since this was queued: its own close releases the cycle.
    if (state_ == State::Stopped || ModalTracker::instance().isModalOpen())
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
    SensorTable::ReadResult result;
    bool gotAnswer = true;
    if (reader_) {
        result = table_.takeAnswer(slot_, answer_);
        gotAnswer = result.outcome != ReadOutcome::NoAnswer;
    } else {
        const PageDocument* document = page_->Document();
        if (display_) {
            display_->showPage(document);
            display_->showMainWindow();
        }
        gotAnswer = page_->lastLoadGotAnswer();
        result = table_.readAnswer(slot_, document, gotAnswer);
    }
    const bool tookNumber = result.outcome == ReadOutcome::Ok || result.outcome == ReadOutcome::PowerOnReset;
    if (transform_ && tookNumber) {
        raw_[slot_] = table_.Readings[slot_];
        table_.Readings[slot_] = transform_(slot_, raw_[slot_]);
    }
    const float value = table_.Readings.value(slot_);
    if (display_) {
        display_->setSensorNumberText(runtime::integerToText(static_cast<std::int16_t>(slot_ + 1)));
        display_->setTemperatureText(runtime::singleToText(value));
    }
    // The display calls above may have run a handler that stopped the cycle.
    if (state_ == State::Stopped || run != run_)
        return;
    const ListedSensor sensor = sensors_.value(slot_);
    emit sensorRead(SensorReading{source_, slot_, sensor.romCode, sensor.name, result.outcome, value,
                                  result.reason, QDateTime::currentDateTime(), requested_,
                                  transform_ ? std::optional<float>(raw_.value(slot_)) : std::nullopt});
    // And so may a listener.
    if (state_ == State::Stopped || run != run_)
        return;

    sweepTookNumber_ = sweepTookNumber_ || tookNumber;
    const bool sweepEnds = ++slot_ >= table_.count();
    const bool idleSweep = reader_ && sweepEnds && !sweepTookNumber_;
    if (sweepEnds) {
        slot_ = 0;
        sweepTookNumber_ = false;
    }
    scheduleNextSlot(gotAnswer && !idleSweep);
    if (sweepEnds)
        endOfSweep();
}

// A receiver of what this emits may stop or restart the cycle: false when this sweep is no longer the
// one to go on with.
bool AcquisitionCycle::endOfSweep()
{
    const quint64 run = run_;
    SweepReport sweep{source_, table_.Readings, QDateTime::currentDateTime(), std::nullopt, 0, {}};
    if (recorder_ && recorder_->loggingActive()) {
        const qint64 lostBefore = recorder_->lostRecords();
        // The period's notice outlasts a single write's failure: losses stay shown once writing resumes.
        const runtime::Error error = recorder_->writeRecord(table_.Readings);
        sweep.recordsLost = std::max<qint64>(recorder_->lostRecords() - lostBefore, error ? 1 : 0);
        sweep.recordWritten = !error;
        sweep.logNotice = recorder_->notice();
        if (sweep.logNotice.isEmpty() && error)
            sweep.logNotice = error->reason;
        if (display_) {
            display_->setLogWriteError(sweep.logNotice);
            display_->setRecordNumberText(runtime::integerToText(recordNumber_));
        }
        // The counter sticks at its largest value; records go on being written.
        if (recordNumber_ < std::numeric_limits<std::int16_t>::max())
            ++recordNumber_;
    }
    if (state_ == State::Stopped || run != run_)
        return false;
    emit sweepCompleted(sweep);
    return state_ != State::Stopped && run == run_;
}

void AcquisitionCycle::scheduleNextSlot(bool gotAnswer)
{
    // Through the event loop even without a pause, so the page component is never navigated from inside
    // its own completion signal.
    state_ = gotAnswer ? State::Ready : State::Paused;
    next_->start(gotAnswer ? 0 : pauseMs_);
}

} // namespace quorvel::acquisition
