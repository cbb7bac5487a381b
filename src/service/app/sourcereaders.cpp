#include "service/app/sourcereaders.h"

#include "acquisition/owserverreader.h"

namespace quorvel::service {

std::unique_ptr<acquisition::SensorReader> makeSensorReader(const SourceConfig& config)
{
    if (config.kind == QLatin1String(SourceConfig::OwserverKind)) {
        // The configuration has made it IP:PORT.
        const qsizetype colon = config.address.lastIndexOf(u':');
        return std::make_unique<acquisition::OwserverReader>(config.address.left(colon),
                                                             config.address.mid(colon + 1).toUShort());
    }
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
