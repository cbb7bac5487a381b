#pragma once

#include "service/history/historyrows.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <compare>
#include <limits>

namespace quorvel::service::history {

// Where an output stands in the samples: after the row of this time and sensor (the samples' key, in the
// order rows are sent). The default stands before every row.
struct OutboxPosition {
    qint64 time = std::numeric_limits<qint64>::min();
    qint64 sensor = 0;
    friend auto operator<=>(const OutboxPosition&, const OutboxPosition&) = default;
};

// A sample with its place in the order, so that an output moves its cursor to exactly what it sent.
struct OutboxRow {
    OutboxPosition position;
    SampleRow sample;
};

// The store's samples as the outbox of the outputs that write them elsewhere: each output keeps a cursor in
// the store, moved only once the other end took the rows, so a restart, a crash or a power cut resumes after
// it. Rows are handed out only once their interval is written whole (a sample still summing up, or merged
// after a restart, is not sent half). Lives on the event loop's thread; its reads are bounded.
class Outbox : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The cursor kept for this output; a new output stands before the oldest sample kept.
    [[nodiscard]] virtual OutboxPosition cursor(const QString& output) const = 0;
    // Up to maxRows rows after `after`, oldest first (time, then sensor); empty when there are none yet or
    // the store cannot be read.
    [[nodiscard]] virtual QList<OutboxRow> unsent(OutboxPosition after, int maxRows) const = 0;
    // How many rows stand after `after` now: counted once at start, then kept up from the signals.
    [[nodiscard]] virtual qint64 countUnsent(OutboxPosition after) const = 0;
    // Keeps the cursor (on the writer's thread, in order with the samples); a crash before it is written
    // sends those rows again, which the other end overwrites (same time, same tags).
    virtual void saveCursor(const QString& output, OutboxPosition position) = 0;
    // The outputs configured now: only their cursors are kept, and the prune counts only their losses.
    virtual void setOutputs(const QStringList& names) = 0;

signals:
    // Rows of whole intervals were written: there is more to send.
    void samplesWritten(qint64 rows);
    // Samples this output never sent were folded away (keep_samples): their count and the span of their
    // times; its cursor now stands after them.
    void samplesLost(const QString& output, qint64 rows, qint64 fromTime, qint64 toTime,
                     quorvel::service::history::OutboxPosition resumeAfter);
};

} // namespace quorvel::service::history
