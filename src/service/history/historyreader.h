#pragma once

#include "service/history/historyrows.h"

#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace quorvel::service::history {

class HistoryDatabase;

// One bucket of a series: the good reads of the samples (or hourly rows) that start in [time, time + step).
// A bucket without a good read is not there: the chart draws a gap.
struct SeriesPoint {
    qint64 time = 0;
    double mean = 0;
    double min = 0;
    double max = 0;
};

// One sensor over a range, keyed by its ROM code; its source and name are the latest the range holds.
struct Series {
    QString romCode;
    QString source;
    QString name;
    QList<SeriesPoint> points; // oldest first
};

// The store read on the event loop's thread through a read-only connection of its own: every query is
// bounded (at most MaxPoints buckets a series, long ranges from the hourly rows), so none holds up a sweep
// for long, and none waits for the writer (WAL: readers see the last committed transaction).
class HistoryReader {
public:
    static constexpr int MaxPoints = 2000;
    // Ranges longer than this are read from the hourly rows, whatever the step asked, at the default sample
    // interval; a store of other intervals in proportion, so that a series reads at most as many samples.
    static constexpr qint64 SamplesAtMostSeconds = 3 * 24 * 3600;
    static constexpr qint64 DefaultSampleInterval = 10;

    // The connection opens on the first query and again after a failed one; a missing store reads empty.
    explicit HistoryReader(QString path, int sampleInterval = DefaultSampleInterval);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // The step for a range: the one asked (0: none) made large enough for MaxPoints, and whole hours for a
    // range read from the hourly rows.
    [[nodiscard]] static qint64 stepFor(qint64 from, qint64 to, qint64 requested,
                                        qint64 samplesAtMost = SamplesAtMostSeconds);
    // The longest range this store's series read from the samples.
    [[nodiscard]] qint64 samplesAtMost() const { return samplesAtMost_; }

    // Every sensor with a sample (hourly row) in [from, to), or only the one of this ROM code; step as
    // stepFor() gives it. Empty when the store cannot be read.
    [[nodiscard]] QList<Series> series(qint64 from, qint64 to, qint64 step,
                                       const QString& romCode = {}) const;
    // The time of the oldest row kept, for the range "all"; nothing for an empty store.
    [[nodiscard]] std::optional<qint64> firstTime() const;

    // The samples of [from, to), oldest first, a sensor's after another's of the same time (by ROM code),
    // read a few at a time: memory stays the same whatever the range.
    class Cursor {
    public:
        virtual ~Cursor() = default;
        // Appends up to maxRows rows; false once the range is done (or the store failed: see error()).
        virtual bool next(QList<SampleRow>& rows, int maxRows) = 0;
        [[nodiscard]] virtual QString error() const = 0;
    };
    [[nodiscard]] std::unique_ptr<Cursor> samples(qint64 from, qint64 to, const QString& romCode = {}) const;

    // The last good value of each minute of [from, to) per ROM code (the samples' last), for the day's chart
    // at start.
    struct MinutePoint {
        qint64 minute = 0; // minutes since the epoch
        float value = 0;
    };
    [[nodiscard]] QList<MinutePoint> minutes(const QString& romCode, qint64 from, qint64 to) const;

private:
    [[nodiscard]] HistoryDatabase* db() const;
    QString path_;
    qint64 samplesAtMost_;
    mutable std::unique_ptr<HistoryDatabase> db_;
};

} // namespace quorvel::service::history
