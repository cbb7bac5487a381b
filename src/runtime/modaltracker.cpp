#include "modaltracker.h"

namespace quorvel::runtime {

ModalTracker& ModalTracker::instance()
{
    static ModalTracker tracker;
    return tracker;
}

void ModalTracker::enter()
{
    ++depth_;
}

void ModalTracker::leave()
{
    if (depth_ == 0)
        return;
    if (--depth_ == 0)
        emit lastModalClosed();
}

} // namespace quorvel::runtime
