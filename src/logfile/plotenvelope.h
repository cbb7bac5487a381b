#pragma once

#include "logrecord.h"
#include "logruns.h"

#include <QList>

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

namespace quorvel::logfile {

class PlotLayout;

// What a plot keeps of records fed one at a time. Up to rawLimit records are kept as they are and laid
// out point by point; beyond, each sensor keeps per stretch of time (a few per pixel column, widened as
// the time covered grows) its lowest, highest and last reading and whether a gap falls in it, so a year
// takes the memory of a few thousand points and draws as an envelope, one pixel column wide, gaps kept.
class PlotEnvelope {
public:
    static constexpr qsizetype DefaultRawLimit = 20000;

    // columns: the plot area's width in pixels (PlotLayout::columns()).
    explicit PlotEnvelope(int columns, qsizetype rawLimit = DefaultRawLimit);
    void add(const acquisition::LogRecord& record);
    [[nodiscard]] qsizetype records() const { return steps_.records(); }
    // The time axis spans at least fromMs..toMs (ms since the epoch), as a chart of the last day shows
    // the whole day from its first minute of records.
    void showTime(qint64 fromMs, qint64 toMs) { frame_ = {fromMs, toMs}; }
    // The value axis spans at least low..high, as a chart that draws a band around its lines needs.
    void showValues(float low, float high)
    {
        low_ = valued_ ? std::min(low_, low) : low;
        high_ = valued_ ? std::max(high_, high) : high;
        valued_ = true;
    }

private:
    friend class PlotLayout;
    // Records that follow one another within a stretch of time: per sensor slot the lowest, highest and
    // last reading (3 floats a slot, NaN where no record had the slot).
    struct Cell {
        qsizetype records = 0;
        qint64 firstMs = 0; // the earliest and the latest record's time
        qint64 lastMs = 0;
        qint64 entryFromMs = 0;   // the record read before the first one, or entryBreak
        qint64 entryStep = 0;     // the step from it
        bool entryBreak = true;   // no record before, back in time or another count of readings
        qint64 insideStep = 0;    // the longest step between records within
        bool insideBreak = false; // a break within
        QList<float> values;

        void add(qint64 ms, const QList<float>& readings, qint64 fromMs, bool definite, bool first);
        void merge(const Cell& later);
    };
    void toCells();
    Cell& cellFor(qint64 ms);

    int columns_;
    qsizetype rawLimit_;
    QList<acquisition::LogRecord> raw_;
    // Stretches of widthMs_ milliseconds from the epoch, keyed by their index.
    std::map<qint64, Cell> cells_;
    qint64 widthMs_ = 0;
    Cell* last_ = nullptr; // the stretch the last record fell into, from lastFrom_
    qint64 lastFrom_ = 0;
    StepCounter steps_;
    qsizetype widest_ = 0;
    float low_ = 0.0f;
    float high_ = 0.0f;
    bool valued_ = false; // low_ and high_ hold a reading
    qint64 t0_ = 0;
    qint64 t1_ = 0;
    qint64 previousMs_ = 0;
    qsizetype previousCount_ = 0;
    std::optional<std::pair<qint64, qint64>> frame_;
};

} // namespace quorvel::logfile
