#include "modaltracker.h"

namespace quorvel::runtime {

ModalTracker& ModalTracker::instance()
{
    static ModalTracker tracker;
    return tracker;
}

void ModalTracker::enter()
{
    if (++depth_ == 1)
        emit firstModalOpened();
}

void ModalTracker::leave()
{
    if (depth_ == 0)
        return;
    if (--depth_ == 0)
        emit lastModalClosed();
}

void ModalTracker::holdWhileOpen(QObject* context, std::function<void()> hold, std::function<void()> resume)
{
    connect(this, &ModalTracker::firstModalOpened, context, hold);
    connect(
        this, &ModalTracker::lastModalClosed, context,
        [this, resume = std::move(resume)] {
            if (!isModalOpen())
                resume();
        },
        Qt::QueuedConnection);
    if (isModalOpen())
        hold();
}

} // namespace quorvel::runtime
