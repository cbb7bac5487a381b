#include "sensordrift.h"

#include "sensortable.h"

namespace quorvel::adaptersim {

namespace {

std::mt19937 engineFor(int sensor, quint64 seed)
{
    std::seed_seq seq{quint32(seed), quint32(seed >> 32), quint32(sensor)};
    return std::mt19937(seq);
}

} // namespace

SensorDrift::SensorDrift(int sensor, quint64 seed)
    : engine_(engineFor(sensor, seed)), lowest_(lowestSixteenths(sensor)), highest_(highestSixteenths(sensor))
{
    // Raw engine output instead of std::uniform_int_distribution, whose results differ between standard
    // libraries: a seed must give the same readings everywhere.
    const int span = highest_ - lowest_;
    value_ = lowest_ + span / 4 + int(engine_() % quint32(span / 2 + 1));
    direction_ = (engine_() & 1U) != 0 ? 1 : -1;
}

int SensorDrift::next()
{
    const quint32 roll = engine_() % 100U;
    if (roll < 5)
        direction_ = -direction_;
    else if (roll < 70)
        value_ += direction_;
    if (value_ >= highest_ || value_ <= lowest_) {
        value_ = qBound(lowest_, value_, highest_);
        direction_ = value_ >= highest_ ? -1 : 1;
    }
    return value_;
}

} // namespace quorvel::adaptersim
