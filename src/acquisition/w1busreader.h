#pragma once

#include "sensorreader.h"

#include <QDateTime>
#include <QTimer>

class QThread;

namespace quorvel::acquisition {

class W1BusWorker;

// Reads a tree of the kernel's 1-Wire driver (root, e.g. /sys/bus/w1/devices). The reads block in the
// kernel for a conversion each, so they run on a thread of this reader's own, one at a time. A read that
// has not returned after the no-answer bound is answered no_answer; the kernel cannot be interrupted, so
// until it returns every further read is answered no_answer at once instead of queueing behind it.
class W1BusReader final : public SensorReader {
    Q_OBJECT
public:
    explicit W1BusReader(const QString& root, QObject* parent = nullptr);
    // Never waits for a read that hangs: the thread is left to end when the kernel lets it go.
    ~W1BusReader() override;

    void setSensors(const QStringList& romCodes) override { romCodes_ = romCodes; }
    void read(int slot) override;
    void cancel() override;
    void discover() override;

    // How long a read may take before it counts as no answer (the adapter's 10 s by default).
    void setNoAnswerAfter(int ms) { noAnswerAfterMs_ = ms; }

private:
    void onAnswered(quint64 request, const SensorAnswer& answer);
    void onListed(quint64 request, const QStringList& romCodes, const QString& problem);
    void onNoAnswer();
    void settle(quint64 request);
    [[nodiscard]] QString hangReason() const;
    // Queued, so nothing is answered from inside a call; dropped by a cancel() meanwhile.
    void answerLater(int slot, const SensorAnswer& answer);

    QThread* thread_;
    W1BusWorker* worker_;
    QStringList romCodes_;
    QTimer noAnswer_;
    int noAnswerAfterMs_;
    quint64 sent_ = 0;     // the last request handed to the worker
    quint64 returned_ = 0; // the last one it gave back
    // The request whose answer counts, and its slot (-1: a discovery); 0 when none.
    quint64 pending_ = 0;
    int pendingSlot_ = 0;
    // Since when a read hangs, while it does.
    QDateTime hangingSince_;
    quint64 cancels_ = 0;
};

} // namespace quorvel::acquisition
