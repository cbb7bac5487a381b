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
    // Writes one record of these readings; the error's description when the write failed.
    virtual std::optional<QString> writeRecord(const SensorReadings& readings) = 0;
};

} // namespace quorvel::acquisition
