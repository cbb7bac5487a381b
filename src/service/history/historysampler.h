#pragma once

#include "service/history/historyrows.h"
#include "service/history/historystore.h"

#include "service/state/sensorstate.h"

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>

namespace quorvel::service {
class StateStore;
}

namespace quorvel::service::history {

// Sums each sensor's reads over a sample interval in memory, on the event loop's thread, and hands the
// interval's rows and the events that came meanwhile over as one batch: at the interval's end on the UTC
// grid (a restart continues the same grid), or with each sweep for an interval of 0. Keeps the day's
// min/max/mean of the good reads too.
class HistorySampler final : public QObject {
    Q_OBJECT
public:
    explicit HistorySampler(int sampleInterval, QObject* parent = nullptr);
    ~HistorySampler() override;

    void watch(const StateStore& state);
    // Hands the interval in hand over now.
    void flush();

    // The day's figures the store held at open, for the local day of `day`.
    void seedDay(const QDate& day, const QHash<QString, DayStats>& stats);
    [[nodiscard]] std::optional<DayStats> today(const QString& romCode) const;

    void setClock(std::function<QDateTime()> clock);

signals:
    void batchReady(const quorvel::service::history::Batch& batch);

private:
    struct Sum {
        SampleRow row;
        double total = 0;
    };
    void onRead(const SensorState& sensor, const acquisition::SensorReading& reading);
    void onSweep(const SourceState& source);
    void onAlarm(const SensorState& sensor, AlarmState previous);
    void onReachability(const SourceState& source, bool byReads);
    void addToDay(const QString& romCode, double value, qint64 time);
    // Hands over every row and event in hand as one batch.
    void handOver();
    // Waits for the end of the interval in hand, or for the next when nothing is.
    void arm();
    void onTimer();
    [[nodiscard]] qint64 now() const { return clock_().toSecsSinceEpoch(); }
    [[nodiscard]] qint64 intervalOf(qint64 time) const;

    int interval_;
    std::function<QDateTime()> clock_ = [] { return QDateTime::currentDateTimeUtc(); };
    QTimer timer_;
    // With a sample a sweep: the second last handed over, so that sweeps faster than a second (hundreds of
    // them at full speed) come to one transaction a second, their reads folded into that second's rows.
    qint64 handedOverAt_ = -1;
    QHash<QString, Sum> sums_; // by ROM code
    QList<EventRow> events_;
    qint64 intervalStart_ = 0;
    QDate day_;
    // The local day's bounds in UTC seconds, so a read need not work out its local date.
    qint64 dayFrom_ = 0;
    qint64 dayTo_ = 0;
    void setDay(const QDate& day);
    [[nodiscard]] bool inDay(qint64 time) const { return time >= dayFrom_ && time < dayTo_; }
    struct DaySum {
        double min = 0, max = 0, total = 0;
        qint64 good = 0;
    };
    QHash<QString, DaySum> daySums_;
};

} // namespace quorvel::service::history
