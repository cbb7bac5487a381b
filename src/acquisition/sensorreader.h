#pragma once

#include "busfacts.h"
#include "readoutcome.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace quorvel::acquisition {

// What one read of a sensor gave, before the sensor table's rules: for Ok the number the sensor said (the
// table decides whether it is a power-on value), else the failure and why in words.
struct SensorAnswer {
    ReadOutcome outcome = ReadOutcome::Ok;
    float value = 0;
    QString reason;
};

// What a thermometer of any family a bus or a server serves (10, 22, 28, 3B, 42) can say: their datasheets'
// -55 to +125 °C, and 5 °C more either way for a sensor that reads a step or two past its limit. A number
// outside is no temperature (a server's 1e38, a garbled -300).
inline constexpr float LowestTemperature = -60;
inline constexpr float HighestTemperature = 130;
// How long any source may leave a request unanswered before it counts as no answer: the adapter's 10 s.
inline constexpr int DefaultNoAnswerAfterMs = 10000;
// Ok for a number of that range; else a read error naming the number and the range.
[[nodiscard]] SensorAnswer temperatureAnswer(float degrees);
// What a conversion that failed for want of power leaves (raw 0x07FF): a bus's signature, not a temperature.
inline constexpr float FailedConversionReading = 127.9375F;
// Why a reader that met it calls the read implausible.
[[nodiscard]] QString failedConversionReason();
// What a reader tells once of parasite-powered sensors (their IDs as the source writes them) that the
// converter ("bus", "server") converts all at once; advice: what can be done where the master is.
[[nodiscard]] QString parasiteBulkNotice(const QStringList& ids, const QString& converter,
                                         const QString& advice);

// Reads the sensors of a source (an adapter's pages, a bus of the kernel's, a server), one slot at a time,
// for the cycle. Every call returns at once; what it gives comes as a signal through the event loop,
// never from inside the call, so a read that blocks or hangs holds up nothing else.
//
// Every read() and every discover() gets exactly one answer, no_answer at the latest noAnswerAfterMs() after
// it was asked; only a read asked before a cancel() gets none. Requests are taken in the order asked and a
// discovery never disturbs a read in flight, nor a read a discovery.
class SensorReader : public QObject {
    Q_OBJECT
public:
    explicit SensorReader(QObject* parent = nullptr);

    // The address the cycle was started with, before setSensors(); a reader that knows its own from its
    // construction has no use for it.
    virtual void setSource(const QString& address) { Q_UNUSED(address) }
    // The sensors of the reads to come, slot order, ROM codes in the adapter's form (sixteen upper-case
    // digits, the CRC first). Only between sweeps.
    virtual void setSensors(const QStringList& romCodes) = 0;
    // What a person is shown for a slot of the sensors set: where its read goes.
    [[nodiscard]] virtual QString slotText(int slot) const = 0;
    // Reads one slot; answered() follows. Slot 0 begins a sweep: a reader that can have every sensor convert
    // at once does so then, and answers the later slots from that conversion.
    virtual void read(int slot) = 0;
    // No answer is given for a read asked before this (the cycle stopped); a discovery still gets its own.
    virtual void cancel() = 0;
    // Lists the temperature sensors the source shows now; discovered() or discoveryFailed() follows.
    virtual void discover() = 0;

    // The resolution (9 to 12 bits) each slot's sensor is to convert at, slot order; nothing: as it is.
    // save: also into the sensor's EEPROM, and only where it holds another. Given before setSensors(); a
    // reader that can set sensors up does so before the next sweep's first read and tells described() for
    // every slot, whether or not a resolution was asked (its power too).
    virtual void setResolutions(const QList<std::optional<int>>& bits, bool save)
    {
        Q_UNUSED(bits)
        Q_UNUSED(save)
    }
    // What the reader can do to bring back a bus that stopped answering; act() is answered by acted().
    [[nodiscard]] virtual bool offers(BusAction action) const
    {
        Q_UNUSED(action)
        return false;
    }
    // Only an action offers() names; it never disturbs a read in flight. target: what the action needs to
    // know beside the reader's own settings (Rebind: the master's device in its driver's folder).
    virtual void act(BusAction action, const QString& target = {})
    {
        Q_UNUSED(action)
        Q_UNUSED(target)
    }

    // Whether the cycle waits after a sweep that read no number: a source that fails in microseconds would
    // otherwise be asked a thousand times a second.
    [[nodiscard]] virtual bool pausesAfterSweepWithoutNumber() const { return true; }

    // How long a request may go unanswered before it counts as no answer (DefaultNoAnswerAfterMs unless set).
    [[nodiscard]] int noAnswerAfterMs() const { return noAnswerAfterMs_; }
    void setNoAnswerAfter(int ms) { noAnswerAfterMs_ = ms; }

signals:
    void answered(int slot, const quorvel::acquisition::SensorAnswer& answer);
    // ROM codes in the adapter's form, in ID order (family, then serial number).
    void discovered(const QStringList& romCodes);
    void discoveryFailed(const QString& reason);
    // What a person should read once about the source, beside the reads' outcomes (a setting of the bus
    // that cannot be used as it is).
    void noticed(const QString& text);
    // A bus's way of converting, told when first known and when it changes: all its sensors at once each
    // sweep, or each on its own read.
    void bulkConversion(bool on);
    // What setting up the sensor of a slot showed (see setResolutions()).
    void described(int slot, const quorvel::acquisition::SensorFacts& facts);
    // Every device the last listing or search of the bus showed, thermometers or not, each as the source
    // writes its IDs ("28-000001234567", "28.000028D70000"), in ID order; told with every listing.
    void devicesFound(const QStringList& ids);
    // An action asked by act() was done; problem: why it failed, empty when it was done.
    void acted(quorvel::acquisition::BusAction action, const QString& problem);

private:
    int noAnswerAfterMs_;
};

} // namespace quorvel::acquisition
