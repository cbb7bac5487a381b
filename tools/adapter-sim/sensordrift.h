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

    [[nodiscard]] int current() const { return m_value; }
    [[nodiscard]] int lowest() const { return m_lowest; }
    [[nodiscard]] int highest() const { return m_highest; }

private:
    std::mt19937 m_engine;
    int m_lowest;
    int m_highest;
    int m_value;
    int m_direction = 1;
};

} // namespace quorvel::adaptersim
