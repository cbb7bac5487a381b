#pragma once

#include "acquisition/sensortable.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

namespace quorvel::acquisition {
class PageDocument;
}

namespace quorvel::service {

// What one sensor page gave. Each maps to the label value the metrics use.
enum class ReadResult { Ok, NoElement, NotANumber, HttpError, NoAnswer };
inline constexpr int ReadResultCount = 5;

[[nodiscard]] const char* readResultLabel(ReadResult result);

// Classifies a completed load the way the sensor table reads it: a reading taken is Ok; a load that got no
// HTTP answer, an error page (HTTP status, size cap, redirects), a page without the element and an element
// whose value is no number are the failures.
[[nodiscard]] ReadResult classifyRead(const acquisition::PageDocument* document, bool gotAnswer);

// The counters and gauges the service exposes, kept by the event loop's thread and rendered on request in
// the Prometheus text format. One entry per sensor of the table, in table order.
class ServiceMetrics {
public:
    // One sensor per ROM code, with the name at the same index (none when missing or empty).
    ServiceMetrics(QStringList romCodes, const QStringList& names, QString version);

    [[nodiscard]] int sensorCount() const { return static_cast<int>(sensors_.size()); }

    void recordRead(int slot, ReadResult result, const QDateTime& when);
    // The readings as the sweep's record holds them.
    void recordSweep(const acquisition::SensorReadings& readings);
    void recordLogWrite(bool written, qint64 failures = 1);

    [[nodiscard]] quint64 sweeps() const { return sweeps_; }
    [[nodiscard]] QByteArray exposition() const;

private:
    struct Sensor {
        QString rom;
        QString name;
        float temperature = 0;
        QDateTime lastSuccess;
        quint64 consecutiveFailures = 0;
        std::array<quint64, ReadResultCount> reads{};
    };

    std::vector<Sensor> sensors_;
    QString version_;
    quint64 sweeps_ = 0;
    quint64 logRecords_ = 0;
    quint64 logWriteErrors_ = 0;
};

} // namespace quorvel::service
