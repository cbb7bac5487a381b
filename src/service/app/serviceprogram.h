#pragma once

#include "runtime/messagesink.h"
#include "service/app/serviceconfig.h"
#include "service/history/historydatabase.h"
#include "service/outputs/journal/systemdstatus.h"
#include "service/outputs/web/servicemetrics.h"
#include "service/state/statestore.h"
#include "service/systemd/systemdnotifier.h"

#include "acquisition/acquisitioncycle.h"
#include "sources/adapter/pagecomponent.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QThread;

namespace quorvel::service {

namespace history {
class HistoryStore;
}
namespace influx {
class InfluxOutput;
}

class AlarmCommand;
class MqttPublisher;
class SourceRunner;
class StatusServer;

// The service's composition root: runs a source (cycle, log, reachability) per configured source on the
// page components it is given, the state store that takes their events, and the outputs that read the
// store (the metrics and their server, the service manager's status, MQTT), and owns them. No part knows
// another; each connects to the events here.
class ServiceProgram final : public QObject {
    Q_OBJECT
public:
    // A page component for a source whose kind makes no reader of its own: the HTTP one in the program, fakes
    // in tests. The other kinds get their readers from their row's factory.
    using PageFactory = std::function<std::unique_ptr<acquisition::PageComponent>(const SourceConfig&)>;

    ServiceProgram(ServiceConfig config, PageFactory pages, runtime::MessageSink messages,
                   QObject* parent = nullptr);
    ~ServiceProgram() override;

    // Opens the history store and the logs, reads the web configuration and binds the listener, then starts
    // every source. An exit status when any cannot be done, after telling why; nothing sent before that.
    [[nodiscard]] std::optional<int> start();
    // Ends between two records: every cycle stops, the logs are closed, finished(0) follows.
    void stop();
    // Opens every log by its path again, for whoever moved the files away (log rotation); with a
    // configuration file, reads it again off the event loop and applies it once read. Reloads asked while
    // it is read come to one more read.
    void reload();
    // Runs this configuration's sources from now on: those that did not change go on untouched, removed
    // ones stop, added ones start and changed ones start again; another store block changes the store.
    // What else is shared by all changes now (the listener rebound, the broker connected anew), but the
    // locale, which waits for the next start.
    void apply(const ServiceConfig& next);

    [[nodiscard]] const ServiceMetrics& metrics() const { return metrics_; }
    // Every sensor's state, as every output reads it.
    [[nodiscard]] const StateStore& store() const { return store_; }
    // The first source's cycle.
    [[nodiscard]] acquisition::AcquisitionCycle& cycle();
    [[nodiscard]] SourceRunner* source(const QString& name) const;
    // The port the page and the metrics are served on; 0 when they are not.
    [[nodiscard]] quint16 metricsPort() const { return metricsPort_; }
    // The publisher when MQTT is set up, else null.
    [[nodiscard]] MqttPublisher* mqtt() const { return mqtt_; }
    // The history store when one is open, else null.
    [[nodiscard]] history::HistoryStore* history() const { return history_.get(); }

signals:
    void finished(int exitStatus);

private:
    [[nodiscard]] std::unique_ptr<SourceRunner> makeRunner(const SourceConfig& config);
    // A source's start; false, after telling why, when its log cannot be opened.
    bool startRunner(SourceRunner& runner);
    // The alarm command and the MQTT publisher of config_, in place of those running.
    void setUpAlarmCommand();
    void setUpMqtt();
    // A reload's shared keys, each applied where it changed and told.
    void applyShared(const ServiceConfig& next);
    // The listener on the new address or with the new web configuration; the running one stays when the
    // new one cannot be had.
    void rebindListener(const ServiceConfig& next);
    // A status server with the web configuration of this file (none: plain HTTP, no login), not yet
    // listening; nothing and why when the file cannot be used.
    [[nodiscard]] std::unique_ptr<StatusServer> newStatusServer(const QString& webConfig, QString* why);
    // After the store took a sweep: ends after the number of sweeps asked for.
    void onSweep();
    [[nodiscard]] QString startMessage(const QString& metricsText) const;
    // A start that cannot go on: the logs opened for it are closed again.
    [[nodiscard]] std::optional<int> closeAnd(int status);
    // Reads the configuration file on a thread and applies it when read.
    void readConfigAgain();
    // Opens the store and hands it to the sources and the page; why not when it cannot be the store.
    [[nodiscard]] std::optional<history::OpenError> openStore(const history::StoreSettings& settings);
    // Writes the interval in hand and closes the store, once nothing reads it any more.
    void closeStore();
    // A reload's store block: the running store stays when the new one cannot be opened.
    void changeStore(const std::optional<history::StoreSettings>& next);
    // Runs an output per entry on the open store: those whose settings did not change go on, the others
    // stop or start; told as a reload when reloading.
    void applyOutputs(const QList<influx::InfluxSettings>& next, bool reloading);
    // Every output stops, before the store they read closes.
    void stopOutputs();
    // The outputs' states, in the file's order, where the metrics and the page read them.
    void showOutputs();

    ServiceConfig config_;
    PageFactory pages_;
    runtime::MessageSink messages_;
    StateStore store_;
    ServiceMetrics metrics_;
    SystemdNotifier notifier_;
    SystemdStatus status_;
    std::vector<std::unique_ptr<SourceRunner>> runners_;
    StatusServer* server_ = nullptr;
    MqttPublisher* mqtt_ = nullptr;
    AlarmCommand* alarmCommand_ = nullptr;
    std::unique_ptr<history::HistoryStore> history_;
    QList<influx::InfluxOutput*> outputs_; // children, each deleted as it stops
    quint16 metricsPort_ = 0;
    bool started_ = false;
    bool stopped_ = false;
    QThread* configRead_ = nullptr; // the reload's read in flight
    bool readAgain_ = false;
};

} // namespace quorvel::service
