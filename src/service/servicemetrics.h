#pragma once

#include "sensorrun.h"

#include "acquisition/sensorreading.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

namespace quorvel::service {

// The counters and gauges the service exposes, kept from the cycle's events by the event loop's thread and
// rendered on request in the Prometheus text format. One entry per sensor of the table, in table order.
class ServiceMetrics {
public:
    // One sensor per ROM code, with the name at the same index (none when missing or empty).
    ServiceMetrics(QStringList romCodes, const QStringList& names, QString version);

    [[nodiscard]] int sensorCount() const { return static_cast<int>(sensors_.size()); }

    void recordRead(const acquisition::SensorReading& reading);
    // The readings as the sweep's record holds them, and whether the record was written.
    void recordSweep(const acquisition::SweepReport& sweep);

    // The MQTT families appear once this was called (the service publishes).
    void enableMqtt() { mqtt_ = true; }
    void setMqttConnected(bool connected) { mqttConnected_ = connected; }
    void countMqttPublished() { ++mqttPublished_; }
    void countMqttConnectionFailure() { ++mqttConnectionFailures_; }

    [[nodiscard]] quint64 sweeps() const { return sweeps_; }
    [[nodiscard]] quint64 recordsWritten() const { return logRecords_; }
    [[nodiscard]] quint64 recordsLost() const { return logWriteErrors_; }
    [[nodiscard]] QByteArray exposition() const;

private:
    struct Sensor {
        QString rom;
        QString name;
        float temperature = 0;
        // A reading that was never taken is no temperature to a machine, though the log writes 0: the gauge
        // shows from the first record after the sensor's first good read.
        bool shown = false;
        SensorRun run;
        std::array<quint64, acquisition::ReadOutcomeCount> reads{};
    };

    std::vector<Sensor> sensors_;
    QString version_;
    quint64 sweeps_ = 0;
    quint64 logRecords_ = 0;
    quint64 logWriteErrors_ = 0;
    bool mqtt_ = false;
    bool mqttConnected_ = false;
    quint64 mqttPublished_ = 0;
    quint64 mqttConnectionFailures_ = 0;
};

} // namespace quorvel::service
