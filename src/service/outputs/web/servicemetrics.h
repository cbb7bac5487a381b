#pragma once

#include <QByteArray>
#include <QString>

namespace quorvel::service {

class StateStore;

// The counters and gauges the service exposes, rendered on request in the Prometheus text format from the
// state store: one entry per sensor of every source, in list order.
class ServiceMetrics {
public:
    ServiceMetrics(const StateStore& store, QString version);

    [[nodiscard]] QByteArray exposition() const;
    // As at this time (UTC seconds), which the ages are counted to.
    [[nodiscard]] QByteArray exposition(qint64 now) const;

private:
    const StateStore& store_;
    QString version_;
};

} // namespace quorvel::service
