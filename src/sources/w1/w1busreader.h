#pragma once

#include "w1tree.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QList>
#include <QTimer>

#include <chrono>
#include <optional>

namespace quorvel::acquisition {

class W1BusThread;

// Reads a tree of the kernel's 1-Wire driver (root, e.g. /sys/bus/w1/devices). The reads block in the
// kernel for a conversion each, so they run on the tree's own thread, one at a time, in the order asked;
// each request keeps its own place, so a discovery asked during a read disturbs nothing. A request not
// answered within the no-answer bound is answered no_answer, with every request queued behind it; the kernel
// cannot be interrupted, so until the thread is free again every further request is answered at once
// instead of queueing behind the hung one.
class W1BusReader final : public SensorReader {
    Q_OBJECT
public:
    explicit W1BusReader(const QString& root, QObject* parent = nullptr);
    // Never waits for a read that hangs: the tree's thread goes on without this reader.
    ~W1BusReader() override;

    void setSensors(const QStringList& romCodes) override;
    void setResolutions(const QList<std::optional<int>>& bits, bool save) override;
    // The sensor's folder in the tree.
    [[nodiscard]] QString slotText(int slot) const override;
    void read(int slot) override;
    void cancel() override;
    void discover() override;
    // A search is queued on the bus's thread as a read is; a rebind runs on a thread of its own.
    [[nodiscard]] bool offers(BusAction action) const override;
    void act(BusAction action, const QString& target = {}) override;
    // How long a rebind may take before it is answered as failed (its thread is left to end on its own).
    void setRebindBound(std::chrono::milliseconds bound) { rebindBound_ = bound; }
    static constexpr std::chrono::milliseconds RebindBound{30000};

private:
    // A request handed to the thread and not yet answered; slot -1 is a discovery, -2 a search.
    struct Request {
        quint64 number;
        int slot;
        QDeadlineTimer due;
    };
    static constexpr int DiscoverySlot = -1;
    static constexpr int SearchSlot = -2;

    void ask(quint64 number, int slot);
    // The answer of a discovery or a search that failed.
    void listingFailed(int slot, const QString& reason);
    // The request of that number, taken off the list; nothing when it is not this reader's or was cancelled.
    std::optional<Request> take(quint64 number);
    void onAnswered(quint64 number, const SensorAnswer& answer);
    void onListed(quint64 number, const W1Tree::Listing& listing);
    void onSetUp(quint64 number, const QList<SensorFacts>& facts, const QString& notice);
    void onRebound(quint64 number, const QString& problem);
    // Frees the bus for further requests once its thread gave every request back.
    void checkHang();
    void onNoAnswer();
    // The no-answer bound of the oldest request, when there is one.
    void watchOldest();
    [[nodiscard]] QString hangReason() const;
    // Queued, so nothing is answered from inside a call; dropped by a cancel() meanwhile.
    void answerLater(int slot, const SensorAnswer& answer);

    QString root_;
    W1BusThread* bus_;
    QStringList romCodes_;
    QList<std::optional<int>> resolutions_;
    bool saveResolutions_ = false;
    // The sensors set are set up before the next read; the request that does so.
    bool setUpDue_ = false;
    quint64 setUpRequest_ = 0;
    bool toldParasites_ = false;
    // The rebind under way (0: none) and its bound; a later answer of one answered at the bound is dropped.
    quint64 rebinding_ = 0;
    quint64 rebinds_ = 0;
    QTimer rebindTimer_;
    std::chrono::milliseconds rebindBound_ = RebindBound;
    QList<Request> waiting_; // in the order asked, which is the thread's
    QTimer noAnswer_;
    // Since when a request hangs, while the thread has not given every one back.
    QDateTime hangingSince_;
    quint64 cancels_ = 0;
};

} // namespace quorvel::acquisition
