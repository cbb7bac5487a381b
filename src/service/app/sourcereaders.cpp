#include "service/app/sourcereaders.h"

#include "acquisition/w1busreader.h"

namespace quorvel::service {

std::unique_ptr<acquisition::SensorReader> makeSensorReader(const SourceConfig& config)
{
    if (config.kind == QLatin1String(SourceConfig::W1Kind))
        return std::make_unique<acquisition::W1BusReader>(config.address);
    return nullptr;
}

QString sourceNoun(const SourceConfig& config)
{
    if (config.kind == QLatin1String(SourceConfig::W1Kind))
        return QStringLiteral("bus");
    if (config.kind == QLatin1String(SourceConfig::OwserverKind))
        return QStringLiteral("server");
    return QStringLiteral("adapter");
}

} // namespace quorvel::service
