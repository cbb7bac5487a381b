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
    : m_engine(engineFor(sensor, seed)), m_lowest(lowestSixteenths(sensor)),
      m_highest(highestSixteenths(sensor))
{
    // Raw engine output instead of std::uniform_int_distribution, whose results differ between standard
    // libraries: a seed must give the same readings everywhere.
    const int span = m_highest - m_lowest;
    m_value = m_lowest + span / 4 + int(m_engine() % quint32(span / 2 + 1));
    m_direction = (m_engine() & 1U) != 0 ? 1 : -1;
}

int SensorDrift::next()
{
    const quint32 roll = m_engine() % 100U;
    if (roll < 5)
        m_direction = -m_direction;
    else if (roll < 70)
        m_value += m_direction;
    if (m_value >= m_highest || m_value <= m_lowest) {
        m_value = qBound(m_lowest, m_value, m_highest);
        m_direction = m_value >= m_highest ? -1 : 1;
    }
    return m_value;
}

} // namespace quorvel::adaptersim
