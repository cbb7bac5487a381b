#include "w1busworker.h"

namespace quorvel::acquisition {

void W1BusWorker::read(quint64 request, const QStringList& romCodes, int slot)
{
    bool bulk = false;
    if (slot == 0 && romCodes.size() > 1) {
        const W1Tree::Conversion conversion = tree_.convertAll(romCodes);
        bulk = conversion.converted;
        if (!conversion.refused.isEmpty())
            tellOnce(
                toldRefused_,
                QStringLiteral("the bus cannot convert all its sensors at once (%1), so each converts on "
                               "its own read and a sweep takes a conversion time per sensor; see "
                               "\"Reading a Raspberry Pi's own sensors\" in the README")
                    .arg(conversion.refused));
        tellOnce(toldConversionTime_, conversion.badConversionTime);
        tellOnce(toldUnfinished_, conversion.unfinished);
    }
    if (slot == 0 && bulk_ != bulk) {
        bulk_ = bulk;
        emit bulkConversion(bulk);
    }
    emit answered(request, tree_.readSensor(romCodes.at(slot)));
}

void W1BusWorker::tellOnce(bool& told, const QString& text)
{
    if (told || text.isEmpty())
        return;
    told = true;
    emit noticed(text);
}

void W1BusWorker::discover(quint64 request)
{
    const W1Tree::Listing listing = tree_.list();
    emit listed(request, listing.romCodes, listing.problem);
}

} // namespace quorvel::acquisition
