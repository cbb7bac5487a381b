#pragma once

#include "plausibility.h"
#include "sensorlist.h"
#include "sensorreader.h"
#include "sensorreading.h"
#include "sensortable.h"

#include "runtime/timer.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>

namespace quorvel::acquisition {

class SweepRecorder;

// The endless sweep over the sensor table: for each slot, ask the reader, take its answer under the table's
// rules; after the last slot, hand the readings to the recorder while logging is on. Driven by the event
// loop: it waits on the reader's answer, never polls, and holds while whoever holds it (a modal box, a log
// behind its disk) says so, going on where it was at resume().
//
// What it does is told by its events, to any number of listeners: slotStarted() before each read,
// sensorRead() after it with the outcome the sensor table decided, sweepCompleted() after each sweep's
// record. The recorder is optional.
class AcquisitionCycle : public QObject {
    Q_OBJECT
public:
    // Pause after a request that got no answer at all, so a dead source is not flooded with connections;
    // and, for a reader that asks for it, after a sweep that read no number, so that a bus or server whose
    // every sensor fails at once (unplugged, unknown) does not write a thousand log lines a second.
    static constexpr int NoAnswerPauseMs = 1000;
    // A reader answers each read within its no-answer bound; past that and this margin the cycle takes the
    // slot as no answer itself and goes on, so it never waits for an answer that cannot come.
    static constexpr int ReaderAnswerMarginMs = 2000;

    AcquisitionCycle(SensorReader& reader, SweepRecorder* recorder, QObject* parent = nullptr);

    // The sensors the next start() polls, in this order; the built-in thirteen (without names) unless set.
    void setSensors(const QList<ListedSensor>& sensors) { sensors_ = sensors; }
    [[nodiscard]] const QList<ListedSensor>& sensors() const { return sensors_; }
    // Fills the table for this source, named by its address, and begins the first sweep at slot 0.
    void start(const QString& address);
    // Nothing of the cycle runs after this, so it never touches a window that is going away.
    void stop();
    // Until resume(), no next slot begins and an answer that comes is kept back, its slot finished only then:
    // for whoever cannot take more yet (a window with a modal box open, a log behind its disk). A hold
    // outlasts stop() and start().
    void hold() { held_ = true; }
    void resume();
    [[nodiscard]] bool isHeld() const { return held_; }

    [[nodiscard]] bool isRunning() const { return state_ != State::Stopped; }
    [[nodiscard]] int currentSlot() const { return slot_; }
    [[nodiscard]] const SensorTable& table() const { return table_; }
    SensorTable& table() { return table_; }
    [[nodiscard]] std::int16_t RecordNumber() const { return recordNumber_; }
    void setNoAnswerPauseMs(int ms) { pauseMs_ = ms; }
    // The time between the starts of two sweeps; a sweep that takes longer is told overran and the next
    // starts at once. 0: each sweep starts as soon as the last one ended.
    void setSweepIntervalMs(int ms) { intervalMs_ = ms; }
    // Turns each number a page gave into the slot's value before anyone sees it, the record included (a
    // calibration); the power-on rule has looked at the number as read. None: values as read.
    using ValueTransform = std::function<float(int slot, float read)>;
    void setValueTransform(ValueTransform transform) { transform_ = std::move(transform); }
    // Holds back each good answer's number, as read, that the check does not believe: the table takes it as
    // an implausible read, a failure. None: every number is believed. Starts afresh with each start().
    void setPlausibility(PlausibilityCheck check) { plausibility_ = std::move(check); }
    // Replace the timer that starts each next slot, and the one that ends the wait for the reader's answer
    // (a test's own, fired by hand). Before start().
    void setTimer(std::unique_ptr<runtime::Timer> timer);
    void setDeadlineTimer(std::unique_ptr<runtime::Timer> timer);

    // The address the cycle was last started with; every event names it.
    [[nodiscard]] const QString& source() const { return source_; }

signals:
    // A slot's read is asked for now; text is what a person is shown for the slot (an adapter's: the URL).
    void slotStarted(int slot, const QString& text);
    void sensorRead(const quorvel::acquisition::SensorReading& reading);
    void sweepCompleted(const quorvel::acquisition::SweepReport& sweep);

private:
    enum class State { Stopped, Ready, Loading, Paused };

    void beginSlot();
    void onDeadline();
    void onAnswered(int slot, const quorvel::acquisition::SensorAnswer& answer);
    void finishSlot();
    bool endOfSweep();
    void scheduleNextSlot(bool gotAnswer, bool sweepEnds);

    SensorReader& reader_;
    SensorAnswer answer_; // the reader's answer to the slot in hand
    SweepRecorder* recorder_;
    QList<ListedSensor> sensors_ = builtInSensors();
    QString source_;
    QDateTime requested_; // when the slot's read was asked for
    SensorTable table_;
    ValueTransform transform_;
    PlausibilityCheck plausibility_;
    SensorReadings raw_; // per slot, the number as read, while there is a transform
    // Starts the next slot: at once after an answer, after the pause otherwise.
    std::unique_ptr<runtime::Timer> next_;
    // While the reader reads: past its deadline, the slot is taken as no answer. Started for one read and
    // left running past its answer, so a page costs no timer of its own; when it fires during a later read,
    // it waits on for what is left of that read's time.
    std::unique_ptr<runtime::Timer> deadline_;
    quint64 read_ = 0;        // counts the reads asked for
    quint64 watchedRead_ = 0; // the read the deadline timer was started for
    QDeadlineTimer readDue_;
    int pauseMs_ = NoAnswerPauseMs;
    int intervalMs_ = 0;
    QElapsedTimer sweepClock_; // since the sweep in hand began
    bool overran_ = false;     // the sweep that just ended took longer than the interval
    State state_ = State::Stopped;
    int slot_ = 0;
    bool completionHeld_ = false;
    bool nextSlotHeld_ = false;
    bool held_ = false;
    bool sweepTookNumber_ = false;
    std::int16_t recordNumber_ = 1;
    quint64 run_ = 0; // counts start(), so a sweep that a handler restarted is left alone
};

} // namespace quorvel::acquisition
