#pragma once

#include "acquisition/sweeprecorder.h"

namespace quorvel::bench {

// Logging off: the cycle asks and writes nothing.
class NullRecorder final : public acquisition::SweepRecorder {
public:
    [[nodiscard]] bool loggingActive() const override { return false; }
    runtime::Error writeRecord(const acquisition::SensorReadings&) override { return std::nullopt; }
};

} // namespace quorvel::bench
