#include "service/app/sourcereaders.h"

#include "sources/owserver/owserverreader.h"
#include "sources/w1/w1busreader.h"

namespace quorvel::service {

std::unique_ptr<acquisition::SensorReader> makeSensorReader(const SourceConfig& config)
{
    if (config.kind == QLatin1String(SourceConfig::OwserverKind)) {
        // The configuration has made it IP:PORT.
        const qsizetype colon = config.address.lastIndexOf(u':');
        return std::make_unique<acquisition::OwserverReader>(config.address.left(colon),
                                                             config.address.mid(colon + 1).toUShort());
    }
    if (config.kind == QLatin1String(SourceConfig::W1Kind))
        return std::make_unique<acquisition::W1BusReader>(config.address);
    return nullptr;
}

} // namespace quorvel::service
