#include "statusboard.h"

namespace quorvel::service {

StatusBoard::StatusBoard(QString adapter, const QList<acquisition::ListedSensor>& sensors, QString logPath,
                         int staleAfterSeconds, QDateTime started)
    : adapter_(std::move(adapter)), logPath_(std::move(logPath)), staleAfter_(staleAfterSeconds),
      started_(std::move(started)), history_(int(sensors.size()))
{
    for (qsizetype i = 0; i < sensors.size(); ++i)
        sensors_.append(Sensor{int(i), sensors[i].romCode, sensors[i].name, {}});
}

void StatusBoard::onRead(const acquisition::SensorReading& reading)
{
    if (reading.slot < 0 || reading.slot >= sensors_.size())
        return;
    Sensor& sensor = sensors_[reading.slot];
    if (sensor.run.note(reading))
        history_.add(reading.slot, reading.when, reading.value);
}

void StatusBoard::onSweep(const acquisition::SweepReport& sweep)
{
    if (sweep.recordWritten.value_or(false))
        ++recordsWritten_;
    recordsLost_ += quint64(std::max<qint64>(sweep.recordsLost, 0));
    logNotice_ = sweep.logNotice;
}

void StatusBoard::onUnreachable(const QString& reason, const QDateTime& since)
{
    unreachableSince_ = since;
    unreachableReason_ = reason;
}

void StatusBoard::onReachableAgain()
{
    unreachableSince_ = {};
    unreachableReason_.clear();
}

bool StatusBoard::isStale(const Sensor& sensor, const QDateTime& now) const
{
    const QDateTime& since = sensor.run.lastSuccess.isValid() ? sensor.run.lastSuccess : started_;
    return since.secsTo(now) >= staleAfter_;
}

} // namespace quorvel::service
