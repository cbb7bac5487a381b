#include "timer.h"

namespace quorvel::runtime {

PreciseTimer::PreciseTimer(QObject* parent) : Timer(parent)
{
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &Timer::timeout);
}

} // namespace quorvel::runtime
