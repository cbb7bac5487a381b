#pragma once

#include "sensorlist.h"
#include "sensorreader.h"
#include "sensorreading.h"
#include "sensortable.h"

#include "runtime/timer.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>

namespace quorvel::acquisition {

class CycleDisplay;
class PageComponent;
class SweepRecorder;

// The endless sweep over the sensor table: for each slot, show its address, load its page, read the
// temperature, show it; after the last slot, hand the readings to the recorder while logging is on. Driven by
// the event loop: it waits on the page component's completion signal, never polls, and holds while any modal
// box is open, going on where it was when the last one closes.
//
// What it read is told by its events, to any number of listeners: sensorRead() after each slot with the
// outcome the sensor table decided, sweepCompleted() after each sweep's record. The display (the window's)
// and the recorder are optional: a cycle without them only emits.
class AcquisitionCycle : public QObject {
    Q_OBJECT
public:
    // Kept in the address box's list: a hundred sweeps.
    static constexpr int AddressListLimit = 1300;
    // Pause after a request that got no answer at all, so a dead adapter is not flooded with connections;
    // and, for a reader's source, after a sweep that read no number, so that a bus or server whose every
    // sensor fails at once (unplugged, unknown) does not write a thousand log lines a second.
    static constexpr int NoAnswerPauseMs = 1000;
    // A reader answers each read within its no-answer bound; past that and this margin the cycle takes the
    // slot as no answer itself and goes on, so it never waits for an answer that cannot come.
    static constexpr int ReaderAnswerMarginMs = 2000;

    AcquisitionCycle(PageComponent& page, CycleDisplay* display, SweepRecorder* recorder,
                     QObject* parent = nullptr);
    // A source that is no adapter's pages (a bus, a server): the same sweeps, records and events, each slot
    // read by the reader. No display.
    AcquisitionCycle(SensorReader& reader, SweepRecorder* recorder, QObject* parent = nullptr);

    // The sensors the next start() polls, in this order; the built-in thirteen (without names) unless set.
    void setSensors(const QList<ListedSensor>& sensors) { sensors_ = sensors; }
    [[nodiscard]] const QList<ListedSensor>& sensors() const { return sensors_; }
    // Fills the table for this adapter (or a reader's source, named by its address) and begins the first
    // sweep at slot 0.
    void start(const QString& adapterAddress);
    // Nothing of the cycle runs after this, so it never touches a window that is going away.
    void stop();
    // The next slot waits until resume(), as it waits for a modal box: for whoever cannot take more yet (a
    // log behind its disk).
    void hold() { held_ = true; }
    void resume();

    [[nodiscard]] bool isRunning() const { return state_ != State::Stopped; }
    [[nodiscard]] int currentSlot() const { return slot_; }
    [[nodiscard]] const SensorTable& table() const { return table_; }
    SensorTable& table() { return table_; }
    [[nodiscard]] std::int16_t RecordNumber() const { return recordNumber_; }
    void setNoAnswerPauseMs(int ms) { pauseMs_ = ms; }
    // Turns each number a page gave into the slot's value before anyone sees it, the record included (a
    // calibration); the power-on rule has looked at the number as read. None: values as read.
    using ValueTransform = std::function<float(int slot, float read)>;
    void setValueTransform(ValueTransform transform) { transform_ = std::move(transform); }
    // Replaces the timer that starts each next slot, and ends the wait for a reader's answer (a test's own,
    // fired by hand). Before start().
    void setTimer(std::unique_ptr<runtime::Timer> timer);

    // The address the cycle was last started with; every event names it.
    [[nodiscard]] const QString& source() const { return source_; }

signals:
    void sensorRead(const quorvel::acquisition::SensorReading& reading);
    void sweepCompleted(const quorvel::acquisition::SweepReport& sweep);

private:
    enum class State { Stopped, Ready, Loading, Paused };

    void beginSlot();
    void onPageCompleted();
    void onTimeout();
    void onAnswered(int slot, const quorvel::acquisition::SensorAnswer& answer);
    void finishSlot();
    bool endOfSweep();
    void scheduleNextSlot(bool gotAnswer);
    void onModalClosed();

    PageComponent* page_ = nullptr; // one of these two reads the slots
    SensorReader* reader_ = nullptr;
    SensorAnswer answer_; // the reader's answer to the slot in hand
    CycleDisplay* display_;
    SweepRecorder* recorder_;
    QList<ListedSensor> sensors_ = builtInSensors();
    QString source_;
    QDateTime requested_; // when the slot's page was asked for
    SensorTable table_;
    ValueTransform transform_;
    SensorReadings raw_; // per slot, the number as read, while there is a transform
    // Starts the next slot: at once after an answer, after the pause otherwise; while a reader reads, its
    // deadline.
    std::unique_ptr<runtime::Timer> next_;
    int pauseMs_ = NoAnswerPauseMs;
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
