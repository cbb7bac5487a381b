#pragma once

#include "runtime/messagesink.h"
#include "service/app/serviceoptions.h"
#include "service/outputs/servicemetrics.h"
#include "service/outputs/systemdstatus.h"
#include "service/state/adapterreachability.h"
#include "service/state/statestore.h"
#include "service/systemd/systemdnotifier.h"

#include "acquisition/acquisitioncycle.h"

#include <QObject>

#include <memory>
#include <optional>

namespace quorvel::acquisition {
class PageComponent;
}

namespace quorvel::service {

class MqttPublisher;
class ServiceLog;
class StatusServer;

// The service's composition root: builds the cycle on the page component it is given, the state store that
// takes the cycle's events, and the outputs that read the store (the log, the metrics and their server, the
// reachability messages, the service manager's status, MQTT), and owns them. No part knows another; each
// connects to the events here.
class ServiceProgram final : public QObject {
    Q_OBJECT
public:
    ServiceProgram(ServiceOptions options, QString adapterAddress, acquisition::PageComponent& page,
                   runtime::MessageSink messages, QObject* parent = nullptr);
    ~ServiceProgram() override;

    // Opens the log, reads the web configuration and binds the listener, then starts the cycle. An exit
    // status when any cannot be done, after telling why; nothing sent before that.
    [[nodiscard]] std::optional<int> start();
    // Ends between two records: the cycle stops, the log is closed, finished(0) follows.
    void stop();
    // Opens the log by its path again, for whoever moved the file away (log rotation).
    void reopenLog();

    [[nodiscard]] const ServiceMetrics& metrics() const { return metrics_; }
    // Every sensor's state, as every output reads it.
    [[nodiscard]] const StateStore& store() const { return store_; }
    [[nodiscard]] acquisition::AcquisitionCycle& cycle() { return cycle_; }
    // The port the page and the metrics are served on; 0 when they are not.
    [[nodiscard]] quint16 metricsPort() const { return metricsPort_; }
    // The publisher when --mqtt was given, else null.
    [[nodiscard]] MqttPublisher* mqtt() const { return mqtt_; }

signals:
    void finished(int exitStatus);

private:
    // After the store took a sweep: ends after the number of sweeps asked for.
    void onSweep();
    // A start that cannot go on: the log opened for it is closed again.
    [[nodiscard]] std::optional<int> closeAnd(int status);

    ServiceOptions options_;
    QString adapter_;
    runtime::MessageSink messages_;
    StateStore store_;
    ServiceMetrics metrics_;
    std::unique_ptr<ServiceLog> log_;
    acquisition::AcquisitionCycle cycle_;
    AdapterReachability reachability_;
    SystemdNotifier notifier_;
    SystemdStatus status_;
    StatusServer* server_ = nullptr;
    MqttPublisher* mqtt_ = nullptr;
    quint16 metricsPort_ = 0;
    bool stopped_ = false;
};

} // namespace quorvel::service
