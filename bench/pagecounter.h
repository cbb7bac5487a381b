#pragma once

#include "acquisition/acquisitioncycle.h"
#include "acquisition/sensorreading.h"

#include <QObject>

namespace quorvel::bench {

// Counts the pages a cycle without a display reads, as the service's consumers see them: nothing is made
// for a screen. It counts error pages too, which would make a fast figure meaningless.
class PageCounter final : public QObject {
    Q_OBJECT
public:
    explicit PageCounter(acquisition::AcquisitionCycle& cycle)
    {
        connect(&cycle, &acquisition::AcquisitionCycle::sensorRead, this, &PageCounter::onRead);
    }

    [[nodiscard]] quint64 pages() const { return pages_; }
    [[nodiscard]] quint64 errorPages() const { return errorPages_; }

signals:
    void pageRead(quint64 pages);

private:
    void onRead(const acquisition::SensorReading& reading)
    {
        using acquisition::ReadOutcome;
        if (reading.outcome == ReadOutcome::HttpError || reading.outcome == ReadOutcome::NoAnswer)
            ++errorPages_;
        emit pageRead(++pages_);
    }

    quint64 pages_ = 0;
    quint64 errorPages_ = 0;
};

} // namespace quorvel::bench
