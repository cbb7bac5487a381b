#pragma once

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

// Reads the sensors of a source that is no adapter's pages (a bus of the kernel's, a server), one slot at a
// time, for the cycle. Every call returns at once; what it gives comes as a signal through the event loop,
// never from inside the call, so a read that blocks or hangs holds up nothing else.
class SensorReader : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The sensors of the reads to come, slot order, ROM codes in the adapter's form (sixteen upper-case
    // digits, the CRC first). Only between sweeps.
    virtual void setSensors(const QStringList& romCodes) = 0;
    // Reads one slot; answered() follows. Slot 0 begins a sweep: a reader that can have every sensor convert
    // at once does so then, and answers the later slots from that conversion.
    virtual void read(int slot) = 0;
    // No answer is given for a read asked before this (the cycle stopped).
    virtual void cancel() = 0;
    // Lists the temperature sensors the source shows now; discovered() or discoveryFailed() follows.
    virtual void discover() = 0;

signals:
    void answered(int slot, const quorvel::acquisition::SensorAnswer& answer);
    // ROM codes in the adapter's form, in ID order (family, then serial number).
    void discovered(const QStringList& romCodes);
    void discoveryFailed(const QString& reason);
};

} // namespace quorvel::acquisition
