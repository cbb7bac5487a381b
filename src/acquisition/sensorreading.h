#pragma once

#include "readoutcome.h"
#include "sensortable.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>

namespace quorvel::acquisition {

// One slot's read, as the cycle emits it after the page completed.
struct SensorReading {
    QString source; // the address the cycle was started with: which cycle this came from
    int slot = 0;   // 0-based; sensor number slot + 1
    QString romCode;
    QString name; // empty when the list gave none
    ReadOutcome outcome = ReadOutcome::NoAnswer;
    // The slot's value as the log will write it: the new reading, or the one kept from before on a failure.
    float value = 0;
    // Why the read failed, in words; empty for Ok.
    QString reason;
    QDateTime when;      // the page completed
    QDateTime requested; // its request went out: where an adapter that stopped answering stopped
    // The value before the cycle's value transform (a calibration): what the sensor said. Nothing: as value.
    std::optional<float> raw = std::nullopt;

    [[nodiscard]] bool gotAnswer() const { return outcome != ReadOutcome::NoAnswer; }
};

// One completed sweep, after its record went to the recorder (or not, with logging off).
struct SweepReport {
    QString source; // as the readings'
    SensorReadings readings;
    QDateTime when;
    // Nothing while logging is off; otherwise whether the sweep's record is in the log.
    std::optional<bool> recordWritten;
    // Records lost by this sweep's write (a failure on closing a moved file may add one to the record's).
    qint64 recordsLost = 0;
    // What the recorder has to tell (its notice, else why the write failed); empty when nothing.
    QString logNotice;
    // While logging is on, the number of this sweep's record since the cycle started (it sticks at its
    // largest value); 0 otherwise.
    std::int16_t recordNumber = 0;
    // The sweep took longer than the cycle's interval: the next one began at once.
    bool overran = false;
};

} // namespace quorvel::acquisition
