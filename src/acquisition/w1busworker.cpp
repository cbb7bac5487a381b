#include "w1busworker.h"

#include <QtDebug>

namespace quorvel::acquisition {

void W1BusWorker::read(quint64 request, const QStringList& romCodes, int slot)
{
    if (slot == 0 && romCodes.size() > 1) {
        const W1Tree::Conversion conversion = tree_.convertAll(romCodes);
        if (!conversion.refused.isEmpty() && !toldRefused_) {
            toldRefused_ = true;
            qWarning("The bus cannot convert all its sensors at once (%s), so each converts on its own read "
                     "and a sweep takes a conversion time per sensor; see \"Reading a Raspberry Pi's own "
                     "sensors\" in the README.",
                     qPrintable(conversion.refused));
        }
    }
    emit answered(request, tree_.readSensor(romCodes.at(slot)));
}

void W1BusWorker::discover(quint64 request)
{
    const W1Tree::Listing listing = tree_.list();
    emit listed(request, listing.romCodes, listing.problem);
}

} // namespace quorvel::acquisition
