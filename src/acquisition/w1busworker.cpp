#include "w1busworker.h"

namespace quorvel::acquisition {

void W1BusWorker::read(quint64 request, const QStringList& romCodes, int slot)
{
    if (slot == 0 && romCodes.size() > 1)
        tree_.convertAll(romCodes);
    emit answered(request, tree_.readSensor(romCodes.at(slot)));
}

void W1BusWorker::discover(quint64 request)
{
    const W1Tree::Listing listing = tree_.list();
    emit listed(request, listing.romCodes, listing.problem);
}

} // namespace quorvel::acquisition
