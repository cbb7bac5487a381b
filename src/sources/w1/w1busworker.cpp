#include "w1busworker.h"

#include "acquisition/sensorlist.h"

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
    emit listed(request, tree_.list());
}

void W1BusWorker::search(quint64 request)
{
    emit listed(request, tree_.search());
}

void W1BusWorker::setUp(quint64 request, const QStringList& romCodes, const QList<std::optional<int>>& bits,
                        bool save)
{
    QList<SensorFacts> facts;
    QStringList parasites;
    for (qsizetype slot = 0; slot < romCodes.size(); ++slot) {
        facts.append(tree_.setUp(romCodes.at(slot), bits.value(slot), save));
        if (facts.last().parasite == true)
            parasites.append(linuxId(romCodes.at(slot)));
    }
    QString notice;
    if (!parasites.isEmpty() && romCodes.size() > 1 && tree_.convertsAtOnce())
        notice = parasiteBulkNotice(
            parasites, QStringLiteral("bus"),
            QStringLiteral("on a Raspberry Pi's GPIO it cannot; give them power or turn bulk off"));
    emit setUpDone(request, facts, notice);
}

} // namespace quorvel::acquisition
