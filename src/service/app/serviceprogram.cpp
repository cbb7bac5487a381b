#include "service/app/serviceprogram.h"

#include "service/app/descriptorbudget.h"
#include "service/app/exitstatus.h"
#include "service/app/influxconfig.h"
#include "service/app/sourcerunner.h"
#include "service/app/storeconfig.h"
#include "service/history/historystore.h"
#include "service/history/outbox.h"
#include "service/http/webconfig.h"
#include "service/outputs/alarms/alarmcommand.h"
#include "service/outputs/alarms/alarmjournal.h"
#include "service/outputs/influx/influxoutput.h"
#include "service/outputs/journal/servicelog.h"
#include "service/outputs/mqtt/mqttpublisher.h"
#include "service/outputs/web/statusserver.h"

#include "sources/adapter/adapterreader.h"

#include "runtime/appinfo.h"
#include "runtime/conversions.h"

#include <QSysInfo>
#include <QThread>

#include <algorithm>
#include <utility>

namespace quorvel::service {

namespace {

// "http://127.0.0.1:9300/": where the page is, as the start line and a reload tell it.
QString pageUrl(const StatusServer& server, const QHostAddress& address, quint16 port)
{
    return QStringLiteral("%1://%2:%3/")
        .arg(server.usesTls() ? QStringLiteral("https") : QStringLiteral("http"), address.toString())
        .arg(port);
}

} // namespace

ServiceProgram::ServiceProgram(ServiceConfig config, PageFactory pages, runtime::MessageSink messages,
                               QObject* parent)
    : QObject(parent), config_(std::move(config)), pages_(std::move(pages)), messages_(std::move(messages)),
      store_(config_.staleAfterSeconds, config_.listen.has_value()),
      metrics_(store_, runtime::AppInfo::versionText()),
      status_([this](const QString& text) { notifier_.status(text); })
{
    for (const SourceConfig& source : config_.sources)
        runners_.push_back(makeRunner(source));

    connect(&store_, &StateStore::sweepTaken, this,
            [this](const SourceState&, const acquisition::SweepReport& sweep) {
                status_.onSweep(sweep, store_.sweeps());
                onSweep();
            });
    const auto reachability = [this] { status_.onReachability(store_); };
    connect(&store_, &StateStore::reachabilityChanged, &status_, reachability);
    connect(&store_, &StateStore::sourceRemoved, &status_, reachability);

    auto* journal = new AlarmJournal(messages_, this);
    connect(&store_, &StateStore::alarmChanged, journal, &AlarmJournal::onAlarmChanged);
    setUpAlarmCommand();
    setUpMqtt();
}

void ServiceProgram::setUpAlarmCommand()
{
    delete std::exchange(alarmCommand_, nullptr);
    if (config_.alarmCommand.isEmpty())
        return;
    alarmCommand_ = new AlarmCommand(config_.alarmCommand, messages_, this);
    connect(&store_, &StateStore::alarmChanged, alarmCommand_, &AlarmCommand::onAlarmChanged);
}

void ServiceProgram::setUpMqtt()
{
    if (mqtt_)
        mqtt_->stop(); // its offline status, as at the end
    delete std::exchange(mqtt_, nullptr);
    store_.mqtt().enabled = false; // its counts go on across a reload
    store_.mqtt().connected = false;
    if (!config_.mqtt)
        return;
    // One device per source; from the command line the one source keeps the topics it always had.
    mqtt_ = new MqttPublisher(*config_.mqtt, store_, runtime::AppInfo::versionText(), !config_.file.isEmpty(),
                              messages_, this);
    for (const SourceConfig& source : config_.sources)
        mqtt_->addSource(source.name);
    store_.mqtt().enabled = true;
    connect(&store_, &StateStore::sensorChanged, mqtt_, &MqttPublisher::onRead);
    connect(&store_, &StateStore::alarmChanged, mqtt_, &MqttPublisher::onAlarmChanged);
    MqttClient& client = mqtt_->client();
    connect(&client, &MqttClient::connected, this, [this] { store_.mqtt().connected = true; });
    connect(&client, &MqttClient::disconnected, this, [this] { store_.mqtt().connected = false; });
    connect(&client, &MqttClient::published, this, [this] { ++store_.mqtt().published; });
    connect(&client, &MqttClient::connectionFailed, this, [this] { ++store_.mqtt().connectionFailures; });
}

ServiceProgram::~ServiceProgram()
{
    // The sources leave the store as they go: nothing of that is news for the service manager.
    store_.disconnect(&status_);
    // Before the store goes with the members: the outputs, children, would outlive it.
    stopOutputs();
    if (configRead_)
        configRead_->wait();
}

std::unique_ptr<SourceRunner> ServiceProgram::makeRunner(const SourceConfig& config)
{
    SourceInput input;
    // A kind whose row makes no reader reads pages: the adapter's reader over the page factory's component.
    const acquisition::SourceKind& kind = config.sourceKind();
    if (kind.makeReader)
        input.reader = kind.makeReader(config.kindSettings);
    else
        input.reader = std::make_unique<acquisition::AdapterReader>(pages_(config));
    // Several sources share the journal: each line of one says whose it is.
    runtime::MessageSink messages = messages_;
    if (!config_.file.isEmpty())
        messages = [sink = messages_, prefix = QStringLiteral("source %1: ").arg(config.name)](
                       const QString& text) { sink(text.startsWith(prefix) ? text : prefix + text); };
    auto runner =
        std::make_unique<SourceRunner>(config, std::move(input), store_, config_.locale, std::move(messages));
    runner->setHistoryStore(history_.get());
    connect(runner.get(), &SourceRunner::sensorsChanged, this, [this](const QString& source) {
        if (mqtt_)
            mqtt_->addSource(source);
    });
    return runner;
}

acquisition::AcquisitionCycle& ServiceProgram::cycle()
{
    return runners_.front()->cycle();
}

SourceRunner* ServiceProgram::source(const QString& name) const
{
    const auto found = std::find_if(runners_.begin(), runners_.end(),
                                    [&name](const auto& runner) { return runner->config().name == name; });
    return found == runners_.end() ? nullptr : found->get();
}

std::optional<int> ServiceProgram::closeAnd(int status)
{
    for (const auto& runner : runners_)
        runner->stop();
    return status;
}

bool ServiceProgram::startRunner(SourceRunner& runner)
{
    if (const auto error = runner.openLog()) {
        messages_(
            config_.sources.size() == 1 && config_.file.isEmpty()
                ? QStringLiteral("cannot open the log: %1").arg(*error)
                : QStringLiteral("source %1: cannot open the log: %2").arg(runner.config().name, *error));
        return false;
    }
    if (config_.listen)
        runner.fillHistory(config_.locale); // the charts keep the last day across a restart: it is in the log
    return true;
}

std::optional<history::OpenError> ServiceProgram::openStore(const history::StoreSettings& settings)
{
    std::optional<history::OpenError> error;
    history_ = history::HistoryStore::open(settings, &error);
    if (!history_)
        return error;
    history_->watch(store_);
    connect(history_.get(), &history::HistoryStore::notice, this,
            [this](const QString& text) { messages_(QStringLiteral("history store: %1").arg(text)); });
    for (const auto& runner : runners_)
        runner->setHistoryStore(history_.get());
    if (server_)
        server_->setHistory(history_.get());
    return std::nullopt;
}

void ServiceProgram::closeStore()
{
    if (!history_)
        return;
    stopOutputs();
    for (const auto& runner : runners_)
        runner->setHistoryStore(nullptr);
    if (server_)
        server_->setHistory(nullptr);
    history_->flush();
    history_.reset();
}

void ServiceProgram::changeStore(const std::optional<history::StoreSettings>& next)
{
    if (next == config_.store)
        return;
    const QString running = config_.store ? config_.store->path : QStringLiteral("none");
    // Checked before the running one closes: a file that cannot be the store leaves it running.
    if (const auto error = next ? history::HistoryDatabase::check(next->path) : std::nullopt) {
        messages_(QStringLiteral("reload: %1; the store stays %2").arg(storeRefusal(*error), running));
        return;
    }
    closeStore();
    const std::optional<history::StoreSettings> previous = std::exchange(config_.store, next);
    if (!next) {
        messages_(QStringLiteral("reload: history store %1 closed").arg(running));
        return;
    }
    const auto error = openStore(*next);
    if (!error) {
        messages_(QStringLiteral("reload: history store %1").arg(storeText(*next)));
        return;
    }
    // The file changed between the check and the open: the old store again, if it still opens.
    config_.store = previous;
    const auto again = previous ? openStore(*previous) : std::nullopt;
    if (again)
        config_.store.reset();
    messages_(QStringLiteral("reload: %1; the store is %2")
                  .arg(storeRefusal(*error), config_.store ? config_.store->path : QStringLiteral("none")));
}

std::optional<int> ServiceProgram::start()
{
    // Before the sources, whose day of charts it fills.
    if (config_.store)
        if (const auto error = openStore(*config_.store)) {
            messages_(storeRefusal(*error));
            return exitStatusFor(error->fault);
        }
    for (const auto& runner : runners_)
        if (!startRunner(*runner))
            return closeAnd(ExitLogCannotOpen);
    QString metricsText = QStringLiteral("off");
    if (config_.listen) {
        QString why;
        auto server = newStatusServer(config_.webConfig, &why);
        if (!server) {
            messages_(why);
            return closeAnd(ExitBadSetting);
        }
        server_ = server.release(); // its parent owns it
        const auto bound = server_->listenOn(*config_.listen);
        if (bound.port == 0) {
            messages_(QStringLiteral("cannot listen on %1:%2: %3")
                          .arg(config_.listen->address.toString())
                          .arg(config_.listen->port)
                          .arg(bound.error));
            return closeAnd(ExitListenAddressUnavailable);
        }
        metricsPort_ = bound.port;
        const QString base = pageUrl(*server_, config_.listen->address, bound.port);
        metricsText = base + QStringLiteral("metrics, status page ") + base;
    }
    messages_(startMessage(metricsText));
    for (const auto& runner : runners_)
        for (const QString& warning : runner->config().setupWarnings(false))
            messages_(warning);
    applyOutputs(config_.influx, false);
    if (mqtt_)
        mqtt_->start();
    for (const auto& runner : runners_)
        runner->start();
    started_ = true;
    notifier_.ready();
    status_.onStarted();
    return std::nullopt;
}

QString ServiceProgram::startMessage(const QString& metricsText) const
{
    QString outputs =
        (config_.mqtt ? QStringLiteral(", MQTT %1 under %2").arg(config_.mqtt->url, config_.mqtt->baseTopic)
                      : QString()) +
        (config_.store ? QStringLiteral(", history store ") + storeText(*config_.store) : QString());
    for (const influx::InfluxSettings& output : config_.influx)
        outputs += QStringLiteral(", writes to ") + influxText(output);
    const auto pace = [](const SourceConfig& source) {
        return source.intervalSeconds > 0 ? QStringLiteral(", a sweep every %1 s").arg(source.intervalSeconds)
                                          : QString();
    };
    if (runners_.size() == 1 && config_.file.isEmpty()) {
        const SourceRunner& only = *runners_.front();
        return QStringLiteral("started: adapter %1, %2, log %3%4, metrics %5%6")
            .arg(only.config().address, runtime::countText(store_.sensorCount(), "sensor"), only.logText(),
                 pace(only.config()), metricsText, outputs);
    }
    // A source that finds its sensors has none yet: the count is of those listed, and it says so; none
    // listed is not told as "0 sensors" just before the sources tell what they found.
    const bool finding = std::any_of(runners_.begin(), runners_.end(),
                                     [](const auto& runner) { return runner->config().findsSensors(); });
    const QString sensors = !finding ? runtime::countText(store_.sensorCount(), "sensor")
                            : store_.sensorCount() == 0
                                ? QStringLiteral("the sensors found at start")
                                : runtime::countText(store_.sensorCount(), "sensor") +
                                      QStringLiteral(" listed and those found at start");
    QString text = QStringLiteral("started: %1 from %2, %3, metrics %4%5")
                       .arg(runtime::countText(qint64(runners_.size()), "source"),
                            config_.file.isEmpty() ? QStringLiteral("the command line") : config_.file,
                            sensors, metricsText, outputs);
    for (const auto& runner : runners_)
        text +=
            QStringLiteral("; %1: %2 %3, log %4%5%6")
                .arg(runner->config().name, runner->config().kind, runner->config().address,
                     runner->logText(),
                     runner->config().findsSensors() ? QStringLiteral(", the sensors it shows") : QString(),
                     pace(runner->config()));
    return text;
}

void ServiceProgram::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    notifier_.stopping();
    for (const auto& runner : runners_)
        runner->stop();
    // One bound for every log together: a hung file must not hold up the exit.
    const QDeadlineTimer logsWritten(ServiceLog::FinishWaitMs);
    for (const auto& runner : runners_)
        runner->finishLog(logsWritten);
    if (mqtt_)
        mqtt_->stop();
    stopOutputs();
    if (history_)
        history_->flush();
    messages_(QStringLiteral("stopped: %1, %2 written, %3 lost")
                  .arg(runtime::countText(store_.sweeps(), "sweep"),
                       runtime::countText(store_.recordsWritten(), "record"),
                       runtime::countText(store_.recordsLost(), "record")));
    emit finished(ExitDone);
}

void ServiceProgram::reload()
{
    if (stopped_)
        return;
    for (const auto& runner : runners_)
        runner->reopenLog();
    if (config_.file.isEmpty())
        return;
    if (configRead_)
        readAgain_ = true; // one more read after this one has the latest file, however many were asked
    else
        readConfigAgain();
}

void ServiceProgram::readConfigAgain()
{
    // The file and every file it names are read on a thread of their own: the sources and the listener go
    // on meanwhile. The read is bounded (the file's size, its nodes), so the destructor may wait for it.
    auto read = std::make_shared<ConfigResult>();
    configRead_ = QThread::create([read, file = config_.file] { *read = readServiceConfig(file); });
    configRead_->setParent(this);
    connect(configRead_, &QThread::finished, this, [this, read] {
        configRead_->deleteLater();
        configRead_ = nullptr;
        if (stopped_)
            return;
        if (!read->config) {
            for (const ConfigError& error : read->errors)
                messages_(QStringLiteral("reload: %1").arg(error.text()));
            messages_(QStringLiteral("reload: %1 cannot be used; the running configuration stays")
                          .arg(config_.file));
        } else if (const auto shortage = descriptorShortage(*read->config, descriptorLimit())) {
            // Applied, it would fail wherever the next open found no descriptor left.
            messages_(QStringLiteral("reload: %1; the running configuration stays").arg(*shortage));
        } else {
            ServiceConfig next = *read->config;
            next.sweeps = config_.sweeps;
            if (config_.storeFromCommandLine) {
                next.store = config_.store;
                next.storeFromCommandLine = true;
            }
            apply(next);
        }
        if (std::exchange(readAgain_, false))
            readConfigAgain();
    });
    configRead_->start();
}

void ServiceProgram::apply(const ServiceConfig& next)
{
    const auto listed = [](const ServiceConfig& config, const QString& name) {
        return std::find_if(config.sources.begin(), config.sources.end(),
                            [&name](const SourceConfig& source) { return source.name == name; });
    };
    // Before the sources change: the interval in hand is written to the store it was read for.
    changeStore(next.store);
    int kept = 0;
    int stopped = 0;
    int started = 0;
    // Removed and changed sources stop first, so a changed one never runs twice.
    for (auto it = runners_.begin(); it != runners_.end();) {
        const auto now = listed(next, (*it)->config().name);
        if (now != next.sources.end() && *now == (*it)->config()) {
            (*it)->refresh(); // a source that finds its sensors looks again
            ++kept;
            ++it;
            continue;
        }
        (*it)->stop();
        // A changed one keeps its device: its configs are sent again once it runs.
        if (mqtt_ && now == next.sources.end())
            mqtt_->removeSource((*it)->config().name);
        messages_(QStringLiteral("reload: source %1 stopped").arg((*it)->config().name));
        it = runners_.erase(it);
        ++stopped;
    }
    // In the file's order; a source that stayed keeps its place.
    std::vector<std::unique_ptr<SourceRunner>> ordered;
    for (const SourceConfig& source : next.sources) {
        const auto running = std::find_if(runners_.begin(), runners_.end(), [&source](const auto& runner) {
            return runner && runner->config().name == source.name;
        });
        if (running != runners_.end()) {
            ordered.push_back(std::move(*running));
            continue;
        }
        std::unique_ptr<SourceRunner> runner = makeRunner(source);
        if (!startRunner(*runner))
            continue;
        if (started_)
            runner->start();
        if (mqtt_)
            mqtt_->addSource(source.name);
        messages_(QStringLiteral("reload: source %1 started").arg(source.name));
        ordered.push_back(std::move(runner));
        ++started;
    }
    runners_ = std::move(ordered);
    config_.sources = next.sources;
    applyShared(next);
    applyOutputs(next.influx, true);
    messages_(QStringLiteral("reloaded %1: %2 unchanged, %3 stopped, %4 started")
                  .arg(config_.file, runtime::countText(kept, "source"))
                  .arg(stopped)
                  .arg(started));
}

void ServiceProgram::applyShared(const ServiceConfig& next)
{
    if (next.staleAfterSeconds != config_.staleAfterSeconds) {
        config_.staleAfterSeconds = next.staleAfterSeconds;
        store_.setStaleAfter(next.staleAfterSeconds);
        messages_(QStringLiteral("reload: stale after %1 s").arg(next.staleAfterSeconds));
    }
    if (next.alarmCommand != config_.alarmCommand) {
        config_.alarmCommand = next.alarmCommand;
        setUpAlarmCommand();
        messages_(QStringLiteral("reload: alarm command %1")
                      .arg(next.alarmCommand.isEmpty() ? QStringLiteral("none")
                                                       : next.alarmCommand.join(QLatin1Char(' '))));
    }
    if (next.mqtt != config_.mqtt) {
        config_.mqtt = next.mqtt;
        setUpMqtt();
        if (mqtt_ && started_)
            mqtt_->start();
        messages_(QStringLiteral("reload: MQTT %1")
                      .arg(next.mqtt ? QStringLiteral("%1 under %2").arg(next.mqtt->url, next.mqtt->baseTopic)
                                     : QStringLiteral("off")));
    }
    if (next.listen != config_.listen || next.webConfig != config_.webConfig)
        rebindListener(next);
    // The logs keep the locale they were opened with: their lines must read back as one file's.
    if (next.locale != config_.locale)
        messages_(QStringLiteral("reload: locale changes at the next start"));
}

void ServiceProgram::rebindListener(const ServiceConfig& next)
{
    const auto where = [](const ListenEndpoint& endpoint) {
        return QStringLiteral("%1:%2").arg(endpoint.address.toString()).arg(endpoint.port);
    };
    if (!next.listen) {
        delete std::exchange(server_, nullptr);
        metricsPort_ = 0;
        config_.listen.reset();
        config_.webConfig.clear();
        messages_(QStringLiteral("reload: the page and the metrics are off"));
        return;
    }
    QString why;
    std::unique_ptr<StatusServer> server = newStatusServer(next.webConfig, &why);
    if (!server) {
        messages_(QStringLiteral("reload: %1; the listener stays as it is").arg(why));
        return;
    }
    // The same fixed port is only free once the running listener let it go.
    const bool samePort =
        server_ && next.listen->port == metricsPort_ && next.listen->address == config_.listen->address;
    if (samePort)
        delete std::exchange(server_, nullptr);
    const auto bound = server->listenOn(*next.listen);
    if (bound.port == 0) {
        messages_(QStringLiteral("reload: cannot listen on %1: %2; %3")
                      .arg(where(*next.listen), bound.error,
                           server_ ? QStringLiteral("the listener stays on %1:%2")
                                         .arg(config_.listen->address.toString())
                                         .arg(metricsPort_)
                                   : QStringLiteral("the page and the metrics are off")));
        if (!server_) {
            metricsPort_ = 0;
            config_.listen.reset();
        }
        return;
    }
    delete std::exchange(server_, server.release());
    metricsPort_ = bound.port;
    config_.listen = next.listen;
    config_.webConfig = next.webConfig;
    messages_(QStringLiteral("reload: the page and the metrics on %1")
                  .arg(pageUrl(*server_, next.listen->address, bound.port)));
}

std::unique_ptr<StatusServer> ServiceProgram::newStatusServer(const QString& webConfig, QString* why)
{
    WebConfig web;
    if (!webConfig.isEmpty()) {
        const WebConfigResult read = readWebConfig(webConfig);
        if (!read.config) {
            *why = QStringLiteral("cannot use the web configuration: %1").arg(read.error);
            return nullptr;
        }
        web = *read.config;
    }
    auto server = std::make_unique<StatusServer>(store_, metrics_, this);
    server->setHistory(history_.get());
    if (const auto error = server->configure(web)) {
        *why = QStringLiteral("cannot use the web configuration %1: %2").arg(webConfig, *error);
        return nullptr;
    }
    return server;
}

void ServiceProgram::applyOutputs(const QList<influx::InfluxSettings>& next, bool reloading)
{
    const auto told = [&](const QString& text) {
        if (reloading)
            messages_(QStringLiteral("reload: ") + text);
    };
    if (!history_ && !next.isEmpty())
        messages_(QStringLiteral("%1outputs send the store's samples, and no store is open: none runs")
                      .arg(reloading ? QStringLiteral("reload: ") : QString()));
    const QList<influx::InfluxSettings> wanted = history_ ? next : QList<influx::InfluxSettings>();
    // Removed and changed ones stop first, so a changed one never writes twice from one cursor.
    for (auto it = outputs_.begin(); it != outputs_.end();) {
        if (wanted.contains((*it)->settings())) {
            ++it;
            continue;
        }
        const std::unique_ptr<influx::InfluxOutput> gone(*it);
        it = outputs_.erase(it);
        told(QStringLiteral("influx %1 stopped").arg(gone->settings().name));
    }
    if (history_) {
        QStringList names;
        for (const influx::InfluxSettings& settings : wanted)
            names << settings.name;
        history_->outbox().setOutputs(names);
    }
    QList<influx::InfluxOutput*> ordered;
    for (const influx::InfluxSettings& settings : wanted) {
        const auto running = std::find_if(outputs_.begin(), outputs_.end(), [&settings](const auto* output) {
            return output->settings() == settings;
        });
        if (running != outputs_.end()) {
            ordered << *running;
            continue;
        }
        auto* output =
            new influx::InfluxOutput(settings, QSysInfo::machineHostName(), history_->outbox(), this);
        const int keep = config_.store ? config_.store->keepSamplesDays : 0;
        if (keep > 0)
            output->setKeepSamples(runtime::countText(keep, "day"));
        connect(output, &influx::InfluxOutput::notice, this,
                [this](const QString& text) { messages_(text); });
        connect(output, &influx::InfluxOutput::statusChanged, this, &ServiceProgram::showOutputs);
        ordered << output;
        output->start();
        told(QStringLiteral("%1 started").arg(influxText(settings)));
    }
    outputs_ = ordered;
    showOutputs();
}

void ServiceProgram::stopOutputs()
{
    qDeleteAll(std::exchange(outputs_, {}));
    showOutputs();
}

void ServiceProgram::showOutputs()
{
    QList<OutputLink> links;
    for (const influx::InfluxOutput* output : outputs_)
        links << output->status();
    store_.outputs() = links;
}

void ServiceProgram::onSweep()
{
    if (config_.sweeps && store_.sweeps() >= quint64(*config_.sweeps))
        stop();
}

} // namespace quorvel::service
