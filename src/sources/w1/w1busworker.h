#pragma once

#include "w1tree.h"

#include <QObject>

#include <optional>

namespace quorvel::acquisition {

// Lives on a bus's own thread and does its blocking reads there, one at a time, in the order asked; each
// result goes back as a signal, tagged with the request it answers.
class W1BusWorker final : public QObject {
    Q_OBJECT
public:
    explicit W1BusWorker(const QString& root) : tree_(root) {}

    // Slot 0 of more than one sensor first has the whole bus convert where a master can.
    void read(quint64 request, const QStringList& romCodes, int slot);
    void discover(quint64 request);
    // Has the masters search their buses first.
    void search(quint64 request);
    // Sets up each sensor (bits in slot order) before the sweep's first read.
    void setUp(quint64 request, const QStringList& romCodes, const QList<std::optional<int>>& bits,
               bool save);

signals:
    void answered(quint64 request, const quorvel::acquisition::SensorAnswer& answer);
    void listed(quint64 request, const quorvel::acquisition::W1Tree::Listing& listing);
    // Per slot; notice: what the readers should tell once of the sensors set up, empty when nothing.
    void setUpDone(quint64 request, const QList<quorvel::acquisition::SensorFacts>& facts,
                   const QString& notice);
    // What the bus's conversions showed, each kind once.
    void noticed(const QString& text);
    void bulkConversion(bool on);

private:
    void tellOnce(bool& told, const QString& text);

    W1Tree tree_;
    bool toldRefused_ = false;
    bool toldUnfinished_ = false;
    bool toldConversionTime_ = false;
    std::optional<bool> bulk_; // as last told
};

} // namespace quorvel::acquisition
