#pragma once

#include "sensorhistory.h"
#include "sensorrun.h"

#include "acquisition/sensorlist.h"
#include "acquisition/sensorreading.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace quorvel::service {

// What the status page and /readings.json show, kept from the cycle's events: per sensor its last read and
// last good one, the adapter's reachability, the log's counts, and the day's history for the charts.
class StatusBoard {
public:
    struct Sensor {
        int slot = 0;
        QString romCode;
        QString name;
        // Its last good reading is never a power-on value nor one kept from before a failure.
        SensorRun run;
    };

    StatusBoard(QString adapter, const QList<acquisition::ListedSensor>& sensors, QString logPath,
                int staleAfterSeconds, QDateTime started = QDateTime::currentDateTime());

    void onRead(const acquisition::SensorReading& reading);
    void onSweep(const acquisition::SweepReport& sweep);
    void onUnreachable(const QString& reason, const QDateTime& since);
    void onReachableAgain();

    // No good read for the stale time: since the last one, or since the start for a sensor never read.
    [[nodiscard]] bool isStale(const Sensor& sensor, const QDateTime& now) const;

    [[nodiscard]] const QString& adapter() const { return adapter_; }
    [[nodiscard]] bool adapterReachable() const { return !unreachableSince_.isValid(); }
    [[nodiscard]] const QDateTime& unreachableSince() const { return unreachableSince_; }
    [[nodiscard]] const QString& unreachableReason() const { return unreachableReason_; }
    [[nodiscard]] const QString& logPath() const { return logPath_; }
    [[nodiscard]] quint64 recordsWritten() const { return recordsWritten_; }
    [[nodiscard]] quint64 recordsLost() const { return recordsLost_; }
    [[nodiscard]] const QString& logNotice() const { return logNotice_; }
    [[nodiscard]] int staleAfterSeconds() const { return staleAfter_; }
    [[nodiscard]] const QList<Sensor>& sensors() const { return sensors_; }
    [[nodiscard]] const SensorHistory& history() const { return history_; }
    SensorHistory& history() { return history_; }

private:
    QString adapter_;
    QString logPath_;
    int staleAfter_;
    QDateTime started_;
    QList<Sensor> sensors_;
    SensorHistory history_;
    QDateTime unreachableSince_;
    QString unreachableReason_;
    quint64 recordsWritten_ = 0;
    quint64 recordsLost_ = 0;
    QString logNotice_;
};

} // namespace quorvel::service
