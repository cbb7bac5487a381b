#include "service/app/sourcereaders.h"

namespace quorvel::service {

std::unique_ptr<acquisition::SensorReader> makeSensorReader(const SourceConfig& config)
{
    (void)config;
    return nullptr;
}

} // namespace quorvel::service
