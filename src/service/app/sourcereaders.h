#pragma once

#include "service/app/serviceconfig.h"

#include "acquisition/sensorreader.h"

#include <memory>

namespace quorvel::service {

// The reader of a source that is no adapter's pages, by its kind, at its address.
[[nodiscard]] std::unique_ptr<acquisition::SensorReader> makeSensorReader(const SourceConfig& config);

// What messages call such a source: "bus", "server".
[[nodiscard]] QString sourceNoun(const SourceConfig& config);

} // namespace quorvel::service
