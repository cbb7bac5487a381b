#include "logruns.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace quorvel::logfile {

qint64 LogRuns::gapThresholdMs(const QList<acquisition::LogRecord>& records, double gapFactor)
{
    std::vector<qint64> steps;
    steps.reserve(static_cast<std::size_t>(std::max<qsizetype>(records.size() - 1, 0)));
    for (qsizetype i = 1; i < records.size(); ++i) {
        const qint64 step = records.at(i - 1).when.msecsTo(records.at(i).when);
        if (step > 0)
            steps.push_back(step);
    }
    qint64 median = 1000;
    if (!steps.empty()) {
        const auto middle = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
        std::nth_element(steps.begin(), middle, steps.end());
        median = std::max<qint64>(*middle, 1000);
    }
    return static_cast<qint64>(std::llround(static_cast<double>(median) * gapFactor));
}

qsizetype LogRuns::widestCount(const QList<acquisition::LogRecord>& records)
{
    qsizetype widest = 0;
    for (const acquisition::LogRecord& record : records)
        widest = std::max(widest, record.readings.size());
    return widest;
}

QList<LogRun> LogRuns::split(const QList<acquisition::LogRecord>& records, double gapFactor)
{
    QList<LogRun> runs;
    if (records.isEmpty())
        return runs;
    const qint64 threshold = gapThresholdMs(records, gapFactor);
    LogRun current{0, 1};
    for (qsizetype i = 1; i < records.size(); ++i) {
        const qint64 step = records.at(i - 1).when.msecsTo(records.at(i).when);
        if (step < 0 || step > threshold ||
            records.at(i - 1).readings.size() != records.at(i).readings.size()) {
            runs.append(current);
            current = {i, 0};
        }
        ++current.count;
    }
    runs.append(current);
    return runs;
}

void StepCounter::add(qint64 msecsSinceEpoch, qsizetype readings)
{
    if (records_ > 0) {
        const qint64 step = msecsSinceEpoch - previousMs_;
        if (step > 0) {
            ++forward_[step];
            ++forwardSteps_;
        }
        if (readings != previousCount_)
            ++countChanges_;
        else
            ++steps_[step];
    }
    ++records_;
    previousMs_ = msecsSinceEpoch;
    previousCount_ = readings;
}

qint64 StepCounter::gapThresholdMs(double gapFactor) const
{
    qint64 median = 1000;
    if (forwardSteps_ > 0) {
        // The element nth_element puts in the middle: rank size / 2 of the sorted steps.
        qint64 rank = forwardSteps_ / 2;
        for (const auto& [step, count] : forward_) {
            if (rank < count) {
                median = std::max<qint64>(step, 1000);
                break;
            }
            rank -= count;
        }
    }
    return static_cast<qint64>(std::llround(static_cast<double>(median) * gapFactor));
}

qsizetype StepCounter::periods(double gapFactor) const
{
    if (records_ == 0)
        return 0;
    const qint64 threshold = gapThresholdMs(gapFactor);
    qsizetype breaks = countChanges_;
    for (auto it = steps_.begin(); it != steps_.end() && it->first < 0; ++it)
        breaks += it->second;
    for (auto it = steps_.upper_bound(threshold); it != steps_.end(); ++it)
        breaks += it->second;
    return 1 + breaks;
}

} // namespace quorvel::logfile
