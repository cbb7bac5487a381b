#include "serviceprogram.h"

#include "exitstatus.h"
#include "historyfill.h"
#include "mqttpublisher.h"
#include "servicelog.h"
#include "statusboard.h"
#include "statusserver.h"
#include "webconfig.h"

#include "runtime/appinfo.h"
#include "runtime/conversions.h"

namespace quorvel::service {

namespace {

std::unique_ptr<ServiceLog> makeLog(const ServiceOptions& options, const MessageSink& messages)
{
    if (options.logPath.isEmpty())
        return nullptr;
    const QString path =
        options.logPath == QLatin1String(StandardOutputLog) ? QStringLiteral("/dev/stdout") : options.logPath;
    return std::make_unique<ServiceLog>(path, options.locale, messages);
}

} // namespace

ServiceProgram::ServiceProgram(ServiceOptions options, QString adapterAddress,
                               acquisition::PageComponent& page, MessageSink messages, QObject* parent)
    : QObject(parent), options_(std::move(options)), adapter_(std::move(adapterAddress)),
      messages_(std::move(messages)),
      metrics_(romCodesToPoll(options_), sensorNames(options_), runtime::AppInfo::versionText()),
      log_(makeLog(options_, messages_)), cycle_(page, nullptr, log_.get()),
      reachability_(metrics_.sensorCount(), messages_),
      status_([this](const QString& text) { notifier_.status(text); })
{
    QList<acquisition::ListedSensor> sensors = options_.sensors;
    cycle_.setSensors(sensors.isEmpty() ? acquisition::builtInSensors() : sensors);

    using acquisition::AcquisitionCycle;
    connect(&cycle_, &AcquisitionCycle::sensorRead, this,
            [this](const acquisition::SensorReading& reading) { metrics_.recordRead(reading); });
    connect(&cycle_, &AcquisitionCycle::sensorRead, &reachability_, &AdapterReachability::onRead);
    connect(&cycle_, &AcquisitionCycle::sweepCompleted, &status_, &SystemdStatus::onSweep);
    connect(&reachability_, &AdapterReachability::unreachable, &status_, &SystemdStatus::onUnreachable);
    connect(&reachability_, &AdapterReachability::reachableAgain, &status_, &SystemdStatus::onReachableAgain);
    connect(&cycle_, &AcquisitionCycle::sweepCompleted, this, &ServiceProgram::onSweep);

    if (options_.metrics) {
        board_ = std::make_unique<StatusBoard>(adapter_, cycle_.sensors(), options_.logPath,
                                               options_.staleAfterSeconds);
        connect(&cycle_, &AcquisitionCycle::sensorRead, this,
                [this](const acquisition::SensorReading& reading) { board_->onRead(reading); });
        connect(&cycle_, &AcquisitionCycle::sweepCompleted, this,
                [this](const acquisition::SweepReport& sweep) { board_->onSweep(sweep); });
        connect(&reachability_, &AdapterReachability::unreachable, this,
                [this](const QString&, const QString& reason, const QDateTime& since) {
                    board_->onUnreachable(reason, since);
                });
        connect(&reachability_, &AdapterReachability::reachableAgain, this,
                [this] { board_->onReachableAgain(); });
    }
    if (options_.mqtt) {
        mqtt_ = new MqttPublisher(*options_.mqtt, adapter_, cycle_.sensors(), runtime::AppInfo::versionText(),
                                  messages_, this);
        metrics_.enableMqtt();
        connect(&cycle_, &AcquisitionCycle::sensorRead, mqtt_, &MqttPublisher::onRead);
        MqttClient& client = mqtt_->client();
        connect(&client, &MqttClient::connected, this, [this] { metrics_.setMqttConnected(true); });
        connect(&client, &MqttClient::disconnected, this, [this] { metrics_.setMqttConnected(false); });
        connect(&client, &MqttClient::published, this, [this] { metrics_.countMqttPublished(); });
        connect(&client, &MqttClient::connectionFailed, this,
                [this] { metrics_.countMqttConnectionFailure(); });
    }
}

ServiceProgram::~ServiceProgram() = default;

std::optional<int> ServiceProgram::closeAnd(int status)
{
    if (log_)
        log_->close();
    return status;
}

std::optional<int> ServiceProgram::start()
{
    if (log_) {
        if (auto error = log_->open()) {
            messages_(QStringLiteral("cannot open the log: %1").arg(error->reason));
            return ExitLogCannotOpen;
        }
    }
    QString metricsText = QStringLiteral("off");
    if (options_.metrics) {
        WebConfig web;
        if (!options_.webConfig.isEmpty()) {
            const WebConfigResult read = readWebConfig(options_.webConfig);
            if (!read.config) {
                messages_(QStringLiteral("cannot use the web configuration: %1").arg(read.error));
                return closeAnd(ExitBadSetting);
            }
            web = *read.config;
        }
        server_ = new StatusServer(*board_, metrics_, this);
        if (const auto error = server_->configure(web)) {
            messages_(
                QStringLiteral("cannot use the web configuration %1: %2").arg(options_.webConfig, *error));
            return closeAnd(ExitBadSetting);
        }
        const auto bound = server_->listenOn(*options_.metrics);
        const QString where = QStringLiteral("%1:%2").arg(options_.metrics->address.toString());
        if (bound.port == 0) {
            messages_(QStringLiteral("cannot listen on %1: %2")
                          .arg(where.arg(options_.metrics->port), bound.error));
            return closeAnd(ExitListenAddressUnavailable);
        }
        metricsPort_ = bound.port;
        const QString base = QStringLiteral("%1://%2/")
                                 .arg(server_->usesTls() ? QStringLiteral("https") : QStringLiteral("http"),
                                      where.arg(bound.port));
        metricsText = base + QStringLiteral("metrics, status page ") + base;
        // The charts keep the last day across a restart: it is in the log.
        if (log_ && options_.logPath != QLatin1String(StandardOutputLog))
            fillHistoryFromLog(board_->history(), log_->path(), options_.locale,
                               QDateTime::currentDateTime());
    }
    messages_(
        QStringLiteral("started: adapter %1, %2, log %3, metrics %4%5")
            .arg(adapter_, runtime::countText(metrics_.sensorCount(), "sensor"),
                 options_.logPath.isEmpty()                             ? QStringLiteral("off")
                 : options_.logPath == QLatin1String(StandardOutputLog) ? QStringLiteral("standard output")
                                                                        : options_.logPath,
                 metricsText,
                 options_.mqtt
                     ? QStringLiteral(", MQTT %1 under %2").arg(options_.mqtt->url, options_.mqtt->baseTopic)
                     : QString()));
    if (mqtt_)
        mqtt_->start();
    cycle_.start(adapter_);
    notifier_.ready();
    status_.onStarted();
    return std::nullopt;
}

void ServiceProgram::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    notifier_.stopping();
    // The event loop only gets here between records, so every record is whole.
    cycle_.stop();
    if (log_)
        log_->close();
    if (mqtt_)
        mqtt_->stop();
    messages_(QStringLiteral("stopped: %1, %2 written, %3 lost")
                  .arg(runtime::countText(metrics_.sweeps(), "sweep"),
                       runtime::countText(metrics_.recordsWritten(), "record"),
                       runtime::countText(metrics_.recordsLost(), "record")));
    emit finished(ExitDone);
}

void ServiceProgram::reopenLog()
{
    if (log_ && !stopped_)
        log_->reopen();
}

void ServiceProgram::onSweep(const acquisition::SweepReport& sweep)
{
    metrics_.recordSweep(sweep);
    if (options_.sweeps && metrics_.sweeps() >= quint64(*options_.sweeps))
        stop();
}

} // namespace quorvel::service
