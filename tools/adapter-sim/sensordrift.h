#pragma once

#include <QtGlobal>

#include <random>

namespace quorvel::adaptersim {

// The simulated temperature of one sensor: a bounded random walk in 1/16 degree steps that keeps going in
// one direction for a while, so a plot of it looks like a room warming and cooling rather than noise.
class SensorDrift {
public:
    SensorDrift(int sensor, quint64 seed);

    // Moves at most one step and returns the new temperature in sixteenths of a degree.
    int next();

    [[nodiscard]] int current() const { return value_; }
    [[nodiscard]] int lowest() const { return lowest_; }
    [[nodiscard]] int highest() const { return highest_; }

private:
    std::mt19937 engine_;
    int lowest_;
    int highest_;
    int value_;
    int direction_ = 1;
};

} // namespace quorvel::adaptersim
