#include "service/app/sourcereaders.h"

namespace quorvel::service {

std::unique_ptr<acquisition::SensorReader> makeSensorReader(const SourceConfig& config)
{
    (void)config;
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
