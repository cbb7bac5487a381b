#include "plotenvelope.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace quorvel::logfile {

namespace {

constexpr float NoValue = std::numeric_limits<float>::quiet_NaN();

// Floor division, also for times before 1970.
qint64 floorDiv(qint64 value, qint64 by)
{
    const qint64 q = value / by;
    return q * by > value ? q - 1 : q;
}

} // namespace

void PlotEnvelope::Cell::add(qint64 ms, const QList<float>& readings, qint64 fromMs, bool definite,
                             bool first)
{
    const bool latest = records == 0 || ms >= lastMs;
    if (records == 0) {
        firstMs = lastMs = ms;
        entryFromMs = fromMs;
        entryStep = ms - fromMs;
        entryBreak = first || definite;
    } else {
        if (first || definite || fromMs < firstMs || fromMs > lastMs)
            insideBreak = true;
        else
            insideStep = std::max(insideStep, ms - fromMs);
        firstMs = std::min(firstMs, ms);
        lastMs = std::max(lastMs, ms);
    }
    ++records;
    if (values.size() < 3 * readings.size())
        values.resize(3 * readings.size(), NoValue);
    for (qsizetype slot = 0; slot < readings.size(); ++slot) {
        const float v = readings[slot];
        if (std::isnan(v))
            continue;
        float* cell = values.data() + 3 * slot;
        if (std::isnan(cell[0])) {
            cell[0] = cell[1] = cell[2] = v;
            continue;
        }
        cell[0] = std::min(cell[0], v);
        cell[1] = std::max(cell[1], v);
        if (latest)
            cell[2] = v;
    }
}

void PlotEnvelope::Cell::merge(const Cell& later)
{
    insideBreak = insideBreak || later.insideBreak;
    insideStep = std::max(insideStep, later.insideStep);
    if (later.entryBreak || later.entryFromMs < firstMs || later.entryFromMs > lastMs)
        insideBreak = true;
    else
        insideStep = std::max(insideStep, later.entryStep);
    firstMs = std::min(firstMs, later.firstMs);
    lastMs = std::max(lastMs, later.lastMs);
    records += later.records;
    if (values.size() < later.values.size())
        values.resize(later.values.size(), NoValue);
    for (qsizetype i = 0; i + 2 < later.values.size(); i += 3) {
        if (std::isnan(later.values[i]))
            continue;
        if (std::isnan(values[i])) {
            std::copy(later.values.begin() + i, later.values.begin() + i + 3, values.begin() + i);
            continue;
        }
        values[i] = std::min(values[i], later.values[i]);
        values[i + 1] = std::max(values[i + 1], later.values[i + 1]);
        values[i + 2] = later.values[i + 2];
    }
}

PlotEnvelope::PlotEnvelope(int columns, qsizetype rawLimit)
    : columns_(std::max(columns, 1)), rawLimit_(rawLimit)
{
}

PlotEnvelope::Cell& PlotEnvelope::cellFor(qint64 ms)
{
    // Records in time order mostly fall into the stretch of the record before.
    if (last_ && ms >= lastFrom_ && ms - lastFrom_ < widthMs_)
        return *last_;
    // A few stretches per pixel column at most: wider ones as the time covered grows.
    const qint64 maxCells = 4 * qint64(columns_);
    for (;;) {
        const qint64 key = floorDiv(ms, widthMs_);
        lastFrom_ = key * widthMs_;
        if (cells_.empty() ||
            std::max(cells_.rbegin()->first, key) - std::min(cells_.begin()->first, key) < maxCells)
            return *(last_ = &cells_[key]);
        last_ = nullptr;
        std::map<qint64, Cell> wider;
        for (auto& [k, cell] : cells_) {
            auto [at, inserted] = wider.try_emplace(floorDiv(k, 2), std::move(cell));
            if (!inserted)
                at->second.merge(cell);
        }
        cells_ = std::move(wider);
        widthMs_ *= 2;
    }
}

void PlotEnvelope::toCells()
{
    widthMs_ = 1000;
    qint64 previous = 0;
    qsizetype previousCount = 0;
    for (qsizetype i = 0; i < raw_.size(); ++i) {
        const acquisition::LogRecord& r = raw_.at(i);
        const qint64 ms = r.when.toMSecsSinceEpoch();
        const bool definite = i > 0 && (ms < previous || r.readings.size() != previousCount);
        cellFor(ms).add(ms, r.readings, previous, definite, i == 0);
        previous = ms;
        previousCount = r.readings.size();
    }
    raw_.clear();
    raw_.squeeze();
}

void PlotEnvelope::add(const acquisition::LogRecord& record)
{
    const qint64 ms = record.when.toMSecsSinceEpoch();
    const bool first = steps_.records() == 0;
    // NaN is a sensor without a reading at that time (the service's chart of its reads): no point, a gap.
    std::optional<float> lo;
    std::optional<float> hi;
    for (const float v : record.readings)
        if (!std::isnan(v)) {
            lo = std::min(lo.value_or(v), v);
            hi = std::max(hi.value_or(v), v);
        }
    if (first)
        t0_ = t1_ = ms;
    if (lo) {
        low_ = valued_ ? std::min(low_, *lo) : *lo;
        high_ = valued_ ? std::max(high_, *hi) : *hi;
        valued_ = true;
    }
    t0_ = std::min(t0_, ms);
    t1_ = std::max(t1_, ms);
    widest_ = std::max(widest_, record.readings.size());
    steps_.add(ms, record.readings.size());
    if (widthMs_ == 0) {
        raw_.append(record);
        if (raw_.size() > rawLimit_)
            toCells();
    } else {
        const bool definite = !first && (ms < previousMs_ || record.readings.size() != previousCount_);
        cellFor(ms).add(ms, record.readings, previousMs_, definite, first);
    }
    previousMs_ = ms;
    previousCount_ = record.readings.size();
}

} // namespace quorvel::logfile
