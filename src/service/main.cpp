#include "service/app/alarmsettingscheck.h"
#include "service/app/checksconfig.h"
#include "service/app/descriptorbudget.h"
#include "service/app/exitstatus.h"
#include "service/app/influxconfig.h"
#include "service/app/serviceconfig.h"
#include "service/app/serviceoptions.h"
#include "service/app/serviceprogram.h"
#include "service/app/signalwatcher.h"
#include "service/app/storeconfig.h"
#include "service/http/webconfig.h"

#include "acquisition/sensorlist.h"
#include "logfile/logsession.h"
#include "runtime/appinfo.h"
#include "runtime/processcontrol.h"
#include "sources/adapter/adapteraddress.h"
#include "sources/adapter/webpagecomponent.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

using namespace quorvel;

namespace {

void tell(const QString& line)
{
    // One line a message, unbuffered, so a journal or a terminal shows it at once and never interleaved.
    std::fprintf(stderr, "quorvel3d: %s\n", qPrintable(line));
    std::fflush(stderr);
}

// The command line's one source, with its sensor list and MQTT files read; nothing after telling why, and
// exitStatus set.
int exitStatus = service::ExitDone;

std::optional<service::ServiceConfig> fromCommandLine(service::ServiceOptions options)
{
    if (!options.sensorList.isEmpty()) {
        const acquisition::SensorListResult list = acquisition::readSensorList(options.sensorList);
        // As a compiler says it, so an editor can go to the line.
        for (const QString& message : list.errors)
            std::fprintf(stderr, "%s\n", qPrintable(message));
        std::fflush(stderr);
        switch (list.status) {
        case acquisition::SensorListResult::Status::BadData:
            exitStatus = service::ExitBadSensorList;
            return std::nullopt;
        case acquisition::SensorListResult::Status::NoInput:
            exitStatus = service::ExitFileUnreadable;
            return std::nullopt;
        case acquisition::SensorListResult::Status::Ok:
            break;
        }
        options.sensors = list.sensors;
    }
    if (options.mqtt) {
        if (auto error = service::loadMqttFiles(*options.mqtt)) {
            tell(*error);
            exitStatus = service::ExitFileUnreadable;
            return std::nullopt;
        }
    }
    QString adapter;
    if (options.adapter) {
        adapter = *options.adapter;
    } else {
        const auto setting = acquisition::loadAdapterAddress();
        if (!setting.address) {
            tell(setting.error);
            exitStatus = service::ExitBadSetting;
            return std::nullopt;
        }
        adapter = *setting.address;
    }
    if (options.check && !options.webConfig.isEmpty()) {
        if (const auto web = service::readWebConfig(options.webConfig); !web.config) {
            tell(QStringLiteral("cannot use the web configuration: %1").arg(web.error));
            exitStatus = service::ExitBadSetting;
            return std::nullopt;
        }
    }
    return service::configFromOptions(options, adapter);
}

// Every fault of the file, as a compiler says it.
std::optional<service::ServiceConfig> fromFile(const QString& path)
{
    service::ConfigResult read = service::readServiceConfig(path);
    if (!read.config) {
        for (const service::ConfigError& error : read.errors)
            std::fprintf(stderr, "%s\n", qPrintable(error.text()));
        std::fflush(stderr);
        exitStatus = service::ExitBadSetting;
        return std::nullopt;
    }
    return read.config;
}

// --check: each source's requests; a sensor list is written back clean, each sensor in the adapter's form
// under its request as a comment (a bus's or a server's sensors alone, each in its source's form). From a
// file, each source under a line that names it.
void printCheck(const service::ServiceConfig& config, std::optional<qint64> fileLimit)
{
    for (const service::SourceConfig& source : config.sources) {
        if (!config.file.isEmpty())
            std::printf("# source %s: %s %s, log %s\n", qPrintable(source.name), qPrintable(source.kind),
                        qPrintable(source.address),
                        qPrintable(source.logPath.isEmpty() ? QStringLiteral("off") : source.logPath));
        const acquisition::SourceKind& kind = source.sourceKind();
        if (!kind.requests) {
            if (source.sensors.isEmpty())
                std::printf("# every temperature sensor it shows, found at start and on a reload\n");
            for (const acquisition::ListedSensor& sensor : source.sensors) {
                const QString id = acquisition::shownId(kind, sensor.romCode);
                std::printf("%s\n", qPrintable(sensor.name.isEmpty() ? id : id + u' ' + sensor.name));
            }
            continue;
        }
        const QStringList requests = kind.requests(source.address, source.polled());
        for (qsizetype slot = 0; slot < requests.size(); ++slot) {
            if (source.sensors.isEmpty()) {
                std::printf("%s\n", qPrintable(requests.at(slot)));
                continue;
            }
            const acquisition::ListedSensor& sensor = source.sensors.at(slot);
            std::printf(
                "# %s\n%s\n", qPrintable(requests.at(slot)),
                qPrintable(sensor.name.isEmpty() ? sensor.romCode : sensor.romCode + u' ' + sensor.name));
        }
    }
    for (const QString& line : service::alarmSettingsText(config) + service::sourceChecksText(config))
        std::printf("%s\n", qPrintable(line));
    if (config.mqtt)
        std::printf("%s under %s\n", qPrintable(config.mqtt->url), qPrintable(config.mqtt->baseTopic));
    for (const service::influx::InfluxSettings& output : config.influx)
        std::printf("%s\n", qPrintable(service::influxText(output)));
    if (!config.file.isEmpty())
        std::printf("# about %lld open files needed, limit %s\n", service::descriptorsNeeded(config),
                    fileLimit ? qPrintable(QString::number(*fileLimit)) : "none");
}

// --check: a log path that names a FIFO, a socket or a folder would stop the start; told for each source.
bool logsUsable(const service::ServiceConfig& config)
{
    bool usable = true;
    for (const service::SourceConfig& source : config.sources) {
        if (source.logPath.isEmpty() || source.logPath == QLatin1String(service::StandardOutputLog))
            continue;
        if (const QString problem = acquisition::logPathProblem(source.logPath); !problem.isEmpty()) {
            tell(config.file.isEmpty()
                     ? QStringLiteral("cannot use the log %1: %2").arg(source.logPath, problem)
                     : QStringLiteral("source %1: cannot use the log %2: %3")
                           .arg(source.name, source.logPath, problem));
            usable = false;
        }
    }
    return usable;
}

} // namespace

int main(int argc, char* argv[])
{
    // Before the toolkit opens its first descriptor; --check counts against the same limit the start has.
    const std::optional<qint64> fileLimit = service::raiseDescriptorLimit();
    QCoreApplication app(argc, argv);
    // The same names as the window program, so the adapter setting is read from the same file.
    QCoreApplication::setApplicationName(runtime::AppInfo::title());
    QCoreApplication::setOrganizationName(runtime::AppInfo::title());
    QCoreApplication::setApplicationVersion(runtime::AppInfo::versionText());

    const auto parsed = service::parseServiceOptions(QCoreApplication::arguments());
    switch (parsed.action) {
    case service::ParsedOptions::Action::Help:
        std::fputs(qPrintable(service::serviceUsage()), stdout);
        return service::ExitDone;
    case service::ParsedOptions::Action::Version:
        std::printf("quorvel3d %s\n", qPrintable(runtime::AppInfo::versionText()));
        return service::ExitDone;
    case service::ParsedOptions::Action::Error:
        tell(parsed.error);
        std::fputs(qPrintable(service::serviceUsage()), stderr);
        return service::ExitBadOption;
    case service::ParsedOptions::Action::Run:
        break;
    }

    const service::ServiceOptions& options = parsed.options;
    std::optional<service::ServiceConfig> config =
        options.configFile.isEmpty() ? fromCommandLine(options) : fromFile(options.configFile);
    if (!config)
        return exitStatus;
    config->sweeps = options.sweeps;
    if (!options.configFile.isEmpty())
        service::applyStoreOptions(options, *config);
    if (!config->influx.isEmpty() && !config->store) {
        tell(QStringLiteral(
            "outputs: an output sends the store's samples, and --no-store turns the store off"));
        return service::ExitBadSetting;
    }
    // Refused before anything opens: past the limit the start would die wherever the next open fails.
    if (const auto shortage = service::descriptorShortage(*config, fileLimit)) {
        tell(*shortage);
        return service::ExitBadSetting;
    }
    if (options.check) {
        if (!logsUsable(*config))
            return service::ExitLogCannotOpen;
        if (config->store)
            if (const auto error = service::history::HistoryDatabase::check(config->store->path)) {
                tell(service::storeRefusal(*error));
                return service::exitStatusFor(error->fault);
            }
        printCheck(*config, fileLimit);
        for (const service::SourceConfig& source : config->sources)
            for (const QString& warning : source.setupWarnings(true))
                tell(warning);
        return service::ExitDone;
    }

    // A reader of standard output that went away is a failed write, counted and told, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    runtime::ProcessControl::ignoreFileSizeSignal();

    service::ServiceProgram program(
        *config,
        [](const service::SourceConfig&) { return std::make_unique<acquisition::WebPageComponent>(); },
        &tell);
    service::SignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP});
    if (!signalWatcher.isValid()) {
        tell(QStringLiteral("cannot install the signal handlers"));
        return service::ExitSystemError;
    }
    QObject::connect(&signalWatcher, &service::SignalWatcher::received, &program,
                     [&program](int signalNumber) {
                         if (signalNumber == SIGHUP)
                             program.reload();
                         else
                             program.stop();
                     });
    QObject::connect(&program, &service::ServiceProgram::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);

    if (const auto status = program.start())
        return *status;
    return QCoreApplication::exec();
}
