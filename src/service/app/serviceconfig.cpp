#include "service/app/serviceconfig.h"

namespace quorvel::service {

QString ConfigError::text() const
{
    if (line <= 0)
        return QStringLiteral("%1: %2").arg(file, message);
    return QStringLiteral("%1:%2:%3: %4").arg(file).arg(line).arg(column).arg(message);
}

ConfigResult readServiceConfig(const QString& path)
{
    return {std::nullopt, {ConfigError{path, 0, 0, QStringLiteral("cannot be read yet")}}};
}

ServiceConfig configFromOptions(const ServiceOptions& options, const QString& adapter)
{
    ServiceConfig config;
    SourceConfig source;
    source.name = QLatin1String(CommandLineSource);
    source.address = adapter;
    source.logPath = options.logPath;
    source.sensors = options.sensors;
    source.sensorsFile = options.sensorList;
    config.sources.push_back(std::move(source));
    config.listen = options.metrics;
    config.webConfig = options.webConfig;
    config.staleAfterSeconds = options.staleAfterSeconds;
    config.mqtt = options.mqtt;
    config.locale = options.locale;
    config.sweeps = options.sweeps;
    return config;
}

} // namespace quorvel::service
