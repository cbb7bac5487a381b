#pragma once

#include "acquisition/sensorreading.h"
#include "runtime/timer.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace quorvel::service {

class StateStore;

// The one-line STATUS the service manager shows: the last sweep, or since when a source does not answer.
// Sent when the text changes and at most once a second, the latest text last, so a fast sweep does not
// flood the manager and a slow one is still shown at once.
class SystemdStatus : public QObject {
    Q_OBJECT
public:
    using Send = std::function<void(const QString& status)>;
    // Milliseconds of a steady clock.
    using Clock = std::function<qint64()>;

    static constexpr int MinIntervalMs = 1000;

    explicit SystemdStatus(Send send, QObject* parent = nullptr);
    // Replaces the clock and the timer that sends a held text (a test's own).
    void setClock(Clock clock) { clock_ = std::move(clock); }
    void setTimer(std::unique_ptr<runtime::Timer> timer);

    void onStarted();
    // sweeps: how many the service has completed, this one included.
    void onSweep(const acquisition::SweepReport& sweep, quint64 sweeps);
    // A source of the store began or stopped answering, or went: the store says which do not answer now.
    void onReachability(const StateStore& store);

private:
    void show(const QString& text);
    void sendHeld();

    Send send_;
    Clock clock_;
    std::unique_ptr<runtime::Timer> timer_;
    QString lastSweep_;
    QString outage_; // what the status tells while a source does not answer; empty while all do
    QString sent_;
    QString held_;
    qint64 sentAt_ = 0;
    bool sentOnce_ = false;
};

} // namespace quorvel::service
