#include "service/state/sensorhistory.h"

namespace quorvel::service {

SensorHistory::SensorHistory(int sensorCount)
    : rings_(static_cast<std::size_t>(std::max(sensorCount, 0)), std::vector<Point>(Minutes))
{
}

void SensorHistory::add(int slot, const QDateTime& when, float value)
{
    if (slot < 0 || slot >= sensorCount() || !when.isValid())
        return;
    const std::int32_t minute = minuteOf(when);
    rings_[std::size_t(slot)][std::size_t(minute % Minutes)] = Point{minute, value};
}

void SensorHistory::merge(const SensorHistory& older)
{
    for (std::size_t slot = 0; slot < rings_.size() && slot < older.rings_.size(); ++slot)
        for (std::size_t at = 0; at < std::size_t(Minutes); ++at)
            if (const Point& point = older.rings_[slot][at]; point.minute > rings_[slot][at].minute)
                rings_[slot][at] = point;
}

QList<SensorHistory::Point> SensorHistory::points(int slot, const QDateTime& now) const
{
    QList<Point> out;
    if (slot < 0 || slot >= sensorCount())
        return out;
    const std::vector<Point>& ring = rings_[std::size_t(slot)];
    const std::int32_t last = minuteOf(now);
    // From the oldest minute of the day to now: each slot of the ring holds one minute of the day, or an
    // older one that the day left behind.
    for (std::int32_t minute = last - Minutes + 1; minute <= last; ++minute) {
        const Point& point = ring[std::size_t(((minute % Minutes) + Minutes) % Minutes)];
        if (point.minute == minute)
            out.append(point);
    }
    return out;
}

} // namespace quorvel::service
