#pragma once

#include "service/app/serviceconfig.h"

#include "acquisition/acquisitioncycle.h"
#include "acquisition/sensorreader.h"
#include "runtime/messagesink.h"

#include <QDeadlineTimer>
#include <QLocale>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <deque>
#include <memory>
#include <optional>

namespace quorvel::service {

namespace history {
class HistoryStore;
}
class BusRecovery;
class HistoryFillJob;
class ServiceLog;
class StateStore;
struct SourceState;

// What the journal tells when a source's reads say it stopped or began answering again.
[[nodiscard]] QString reachabilityNotice(const SourceState& source);

// What reads a source's sensors, whatever its kind.
struct SourceInput {
    std::unique_ptr<acquisition::SensorReader> reader;
};

// One source at work: what reads it, its cycle and its log, with the cycle's events and its listings handed
// to the state store under the source's name, and the store's word on whether it answers told in the journal.
// Sources run side by side on the one event loop; one that hangs or fails holds up no other. A source that
// lists no sensors of its own finds them first, and again on refresh().
class SourceRunner final : public QObject {
    Q_OBJECT
public:
    // A source that could not list its sensors tries again after this.
    static constexpr int FindAgainMs = 10'000;
    // A bus that can be searched is listed this often, for its devices and ghosts.
    static constexpr int ListEveryMs = 10 * 60'000;

    // Adds the source to the store; the destructor takes it out again.
    SourceRunner(SourceConfig config, SourceInput input, StateStore& store, const QLocale& locale,
                 runtime::MessageSink messages, QObject* parent = nullptr);
    ~SourceRunner() override;

    // Opens the log; the reason when it cannot be opened.
    [[nodiscard]] std::optional<QString> openLog();
    // Fills the source's day of history for the page's charts (for a source that finds its sensors, once it
    // found them): from the history store when there is one, else from the end of its log, read on a thread
    // of its own and merged when read; a stop or another fill drops that.
    void fillHistory(const QLocale& locale);
    // The store the day's history is read from; null: none. The caller keeps it alive or sets another.
    void setHistoryStore(const history::HistoryStore* store) { historyStore_ = store; }
    void start();
    // The cycle stops and the log closes after the records it was handed.
    void stop();
    // Waits for the log's last records until the deadline; those left are counted lost.
    void finishLog(QDeadlineTimer deadline);
    void reopenLog();
    // A source that finds its sensors looks again; when they changed, it polls the new ones from now on.
    void refresh();

    [[nodiscard]] const SourceConfig& config() const { return config_; }
    [[nodiscard]] acquisition::AcquisitionCycle& cycle() { return *cycle_; }
    // "standard output", "off" or the path, for the start message.
    [[nodiscard]] QString logText() const;

signals:
    // The source polls other sensors than before (it found them): its outputs describe them anew.
    void sensorsChanged(const QString& source);

private:
    void poll(const QList<acquisition::ListedSensor>& sensors);
    void onFound(const QStringList& romCodes);
    void onNotFound(const QString& reason);
    // Registers the sensors with the store (again) and calibrates them.
    void useSensors(const QList<acquisition::ListedSensor>& sensors);
    void fillFromStore(SourceState& source);
    // Lists the bus's devices without changing the sensors polled.
    void listDevices();
    // Whether the listing answered now was asked to find the sensors to poll (else only to list).
    bool answersFind();
    void onDevicesFound(const QStringList& ids);

    SourceConfig config_;
    SourceInput input_;
    StateStore& store_;
    runtime::MessageSink messages_;
    std::unique_ptr<ServiceLog> log_;
    std::unique_ptr<acquisition::AcquisitionCycle> cycle_;
    QTimer findAgain_;
    QTimer listAgain_;
    std::deque<bool> listings_; // asked, not answered yet: true for those that find the sensors
    QSet<QString> ghostsTold_;
    std::unique_ptr<BusRecovery> recovery_;
    bool running_ = false;
    bool setUpAgain_ = false;              // after the next sweep, the sensors' resolutions are set again
    std::optional<QLocale> historyLocale_; // the history waits for the sensors
    std::unique_ptr<HistoryFillJob> fill_; // the one being read
    const history::HistoryStore* historyStore_ = nullptr;
};

} // namespace quorvel::service
