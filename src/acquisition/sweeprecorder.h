#pragma once

#include "sensortable.h"

#include <QString>

#include <optional>

namespace quorvel::acquisition {

// Takes the record at the end of each sweep while logging is on.
class SweepRecorder {
public:
    virtual ~SweepRecorder() = default;
    [[nodiscard]] virtual bool loggingActive() const = 0;
    // Writes one record of these readings. Returns what the user should be told about the log: why the
    // write failed, or losses of this logging period that are still to be shown; nothing when all is well.
    virtual std::optional<QString> writeRecord(const SensorReadings& readings) = 0;
};

} // namespace quorvel::acquisition
