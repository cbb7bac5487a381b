#include "service/state/sensorstate.h"

namespace quorvel::service {

QString SensorState::displayName() const
{
    return name.isEmpty() ? QStringLiteral("Sensor %1").arg(slot + 1) : name;
}

bool SensorState::take(const acquisition::SensorReading& reading)
{
    ++reads[static_cast<std::size_t>(reading.outcome)];
    resultChanged = lastOutcome != reading.outcome || lastReason != reading.reason;
    if (lastOutcome != reading.outcome)
        resultSince = reading.when;
    lastOutcome = reading.outcome;
    lastReason = reading.reason;
    if (reading.outcome != acquisition::ReadOutcome::Ok) {
        ++failuresInRow;
        return false;
    }
    goodValue = reading.value;
    goodRaw = reading.raw.value_or(reading.value);
    lastSuccess = reading.when;
    failuresInRow = 0;
    return true;
}

} // namespace quorvel::service
