#pragma once

#include "metricsserver.h"
#include "servicemetrics.h"
#include "serviceoptions.h"
#include "systemdnotifier.h"

#include "acquisition/acquisitioncycle.h"
#include "acquisition/cycledisplay.h"
#include "acquisition/logrecorder.h"
#include "acquisition/logsession.h"
#include "acquisition/sweeprecorder.h"
#include "acquisition/webpagecomponent.h"

#include <QObject>

#include <functional>
#include <optional>

namespace quorvel::service {

// The window's cycle without the window: the same page component, sensor table and log recorder, with the
// outputs a person reads turned into one-line messages and the state a monitor reads kept as metrics.
class LogService final : public QObject,
                         private acquisition::CycleDisplay,
                         private acquisition::SweepRecorder {
    Q_OBJECT
public:
    using MessageSink = std::function<void(const QString&)>;

    LogService(ServiceOptions options, QString adapterAddress, MessageSink messages,
               QObject* parent = nullptr);

    // Opens the log and binds the metrics address, then starts the cycle. An exit status when either
    // cannot be done (73 for the log, 69 for the address), after telling why; nothing sent before that.
    [[nodiscard]] std::optional<int> start();
    // Ends between two records: the cycle stops, the log is closed, finished(0) follows.
    void stop();
    // Opens the log by its path again, for whoever moved the file away (log rotation).
    void reopenLog();

    [[nodiscard]] const ServiceMetrics& metrics() const { return metrics_; }

signals:
    void finished(int exitStatus);

private:
    // CycleDisplay: the page's result and the adapter's reachability; nothing is shown.
    void setAddressText(const QString&) override {}
    void appendAddressText() override {}
    [[nodiscard]] int addressCount() const override { return 0; }
    void removeOldestAddress() override {}
    void showPage(const acquisition::PageDocument* document) override;
    void showMainWindow() override {}
    void setSensorNumberText(const QString&) override {}
    void setTemperatureText(const QString&) override {}
    void setRecordNumberText(const QString&) override {}
    void setLogWriteError(const QString&) override {}

    // SweepRecorder: the log recorder, reopening a log that a failed reopen left closed, and counting.
    [[nodiscard]] bool loggingActive() const override { return !logPath_.isEmpty(); }
    runtime::Error writeRecord(const acquisition::SensorReadings& readings) override;
    [[nodiscard]] QString notice() const override;

    void onSweepCompleted();
    void noteWrite(bool written, const QString& said);

    ServiceOptions options_;
    QString adapter_;
    QString logPath_; // what is opened: the file, or standard output's device
    MessageSink messages_;
    ServiceMetrics metrics_;
    acquisition::LogSession session_;
    acquisition::LogRecorder recorder_;
    acquisition::WebPageComponent page_;
    acquisition::AcquisitionCycle cycle_;
    MetricsServer* server_ = nullptr;
    SystemdNotifier notifier_;
    // Requests in a row without an answer after which the adapter is reported unreachable.
    static constexpr int UnreachableAfter = 3;
    bool adapterReachable_ = true;
    int noAnswerRun_ = 0;
    bool writeFailing_ = false;
    QDateTime newFileNoted_;
    bool stopped_ = false;
};

} // namespace quorvel::service
