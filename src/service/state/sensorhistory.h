#pragma once

#include <QDateTime>
#include <QList>

#include <cstdint>
#include <vector>

namespace quorvel::service {

// The last day of good readings, one point a minute per sensor (the last reading of that minute), in a
// ring per sensor: its size is fixed at the start, whatever the service runs for. A minute without a
// good reading has no point, so the chart shows a gap there.
class SensorHistory {
public:
    static constexpr int Minutes = 24 * 60;
    struct Point {
        std::int32_t minute = -1; // minutes since the epoch; -1: empty
        float value = 0;
    };

    explicit SensorHistory(int sensorCount = 0);

    void add(int slot, const QDateTime& when, float value);
    // Takes the points of an older fill (read from the log meanwhile) where this history has none of the
    // same or a later minute: what was added here since is newer and stays, and each minute keeps one point.
    void merge(const SensorHistory& older);
    // The points of the day before now, oldest first.
    [[nodiscard]] QList<Point> points(int slot, const QDateTime& now) const;
    [[nodiscard]] int sensorCount() const { return static_cast<int>(rings_.size()); }
    // What the rings hold, for the bound the manual page gives.
    [[nodiscard]] std::size_t bytes() const { return rings_.size() * Minutes * sizeof(Point); }

    [[nodiscard]] static std::int32_t minuteOf(const QDateTime& when)
    {
        return static_cast<std::int32_t>(when.toSecsSinceEpoch() / 60);
    }

private:
    std::vector<std::vector<Point>> rings_;
};

} // namespace quorvel::service
