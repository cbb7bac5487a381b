#include "service/app/serviceprogram.h"

#include "service/app/exitstatus.h"
#include "service/http/webconfig.h"
#include "service/outputs/mqttpublisher.h"
#include "service/outputs/servicelog.h"
#include "service/outputs/statusserver.h"
#include "service/state/historyfill.h"

#include "runtime/appinfo.h"

namespace quorvel::service {

namespace {

std::unique_ptr<ServiceLog> makeLog(const ServiceOptions& options, const runtime::MessageSink& messages)
{
    if (options.logPath.isEmpty())
        return nullptr;
    const QString path =
        options.logPath == QLatin1String(StandardOutputLog) ? QStringLiteral("/dev/stdout") : options.logPath;
    return std::make_unique<ServiceLog>(path, options.locale, messages);
}

} // namespace

ServiceProgram::ServiceProgram(ServiceOptions options, QString adapterAddress,
                               acquisition::PageComponent& page, runtime::MessageSink messages,
                               QObject* parent)
    : QObject(parent), options_(std::move(options)), adapter_(std::move(adapterAddress)),
      messages_(std::move(messages)), store_(options_.staleAfterSeconds, options_.metrics.has_value()),
      metrics_(store_, runtime::AppInfo::versionText()), log_(makeLog(options_, messages_)),
      cycle_(page, nullptr, log_.get()), reachability_(int(romCodesToPoll(options_).size()), messages_),
      status_([this](const QString& text) { notifier_.status(text); })
{
    const QList<acquisition::ListedSensor>& sensors = options_.sensors;
    cycle_.setSensors(sensors.isEmpty() ? acquisition::builtInSensors() : sensors);
    const SourceState& source =
        store_.addSource(QLatin1String(CommandLineSource), adapter_, cycle_.sensors(), options_.logPath);
    const QString name = source.name;

    // The cycle's events go to the store, and only the store's to the outputs.
    using acquisition::AcquisitionCycle;
    connect(&cycle_, &AcquisitionCycle::sensorRead, this,
            [this, name](const acquisition::SensorReading& reading) { store_.onRead(name, reading); });
    connect(&cycle_, &AcquisitionCycle::sensorRead, &reachability_, &AdapterReachability::onRead);
    connect(&cycle_, &AcquisitionCycle::sweepCompleted, this,
            [this, name](const acquisition::SweepReport& sweep) { store_.onSweep(name, sweep); });
    connect(&reachability_, &AdapterReachability::unreachable, this,
            [this, name](const QString&, const QString& reason, const QDateTime& since) {
                store_.onUnreachable(name, reason, since);
            });
    connect(&reachability_, &AdapterReachability::reachableAgain, this,
            [this, name] { store_.onReachableAgain(name); });
    connect(&store_, &StateStore::sweepTaken, this,
            [this](const SourceState&, const acquisition::SweepReport& sweep) {
                status_.onSweep(sweep, store_.sweeps());
                onSweep();
            });
    connect(&reachability_, &AdapterReachability::unreachable, &status_, &SystemdStatus::onUnreachable);
    connect(&reachability_, &AdapterReachability::reachableAgain, &status_, &SystemdStatus::onReachableAgain);

    if (options_.mqtt) {
        mqtt_ = new MqttPublisher(*options_.mqtt, source, runtime::AppInfo::versionText(), messages_, this);
        store_.mqtt().enabled = true;
        connect(&store_, &StateStore::sensorChanged, mqtt_,
                [this, name](const SensorState& sensor, const acquisition::SensorReading& reading) {
                    if (sensor.source == name)
                        mqtt_->onRead(sensor, reading);
                });
        MqttClient& client = mqtt_->client();
        connect(&client, &MqttClient::connected, this, [this] { store_.mqtt().connected = true; });
        connect(&client, &MqttClient::disconnected, this, [this] { store_.mqtt().connected = false; });
        connect(&client, &MqttClient::published, this, [this] { ++store_.mqtt().published; });
        connect(&client, &MqttClient::connectionFailed, this, [this] { ++store_.mqtt().connectionFailures; });
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
        server_ = new StatusServer(store_, metrics_, this);
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
            fillHistoryFromLog(store_.sources().front()->history, log_->path(), options_.locale,
                               QDateTime::currentDateTime());
    }
    messages_(
        QStringLiteral("started: adapter %1, %2 sensors, log %3, metrics %4%5")
            .arg(adapter_, QString::number(store_.sensorCount()),
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
    messages_(QStringLiteral("stopped: %1 sweeps, %2 records written, %3 records lost")
                  .arg(store_.sweeps())
                  .arg(store_.recordsWritten())
                  .arg(store_.recordsLost()));
    emit finished(ExitDone);
}

void ServiceProgram::reopenLog()
{
    if (log_ && !stopped_)
        log_->reopen();
}

void ServiceProgram::onSweep()
{
    if (options_.sweeps && store_.sweeps() >= quint64(*options_.sweeps))
        stop();
}

} // namespace quorvel::service
