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

signals:
    void answered(quint64 request, const quorvel::acquisition::SensorAnswer& answer);
    void listed(quint64 request, const QStringList& romCodes, const QString& problem);
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
