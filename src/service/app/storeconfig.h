#pragma once

#include "service/history/historydatabase.h"
#include "service/history/historysettings.h"

#include "runtime/configyaml.h"

#include <QDir>
#include <QString>

#include <optional>

namespace quorvel::service {

struct ServiceConfig;
struct ServiceOptions;

// The configuration's store block, {path, sample_interval, keep_samples, keep_hourly} with a path relative
// to the file's folder, or false for none. A fault is told to faults; then the result means nothing.
[[nodiscard]] std::optional<history::StoreSettings> readStoreBlock(const runtime::configyaml::Entry& entry,
                                                                   const QDir& folder,
                                                                   runtime::configyaml::Faults& faults);

// --store and --no-store win over the file's block, on a reload too.
void applyStoreOptions(const ServiceOptions& options, ServiceConfig& config);

// What --check and the start say of a file that cannot be the store, and the status they end with: one a
// restart cannot mend, since the file or its folder has to be changed first.
[[nodiscard]] QString storeRefusal(const history::OpenError& error);
[[nodiscard]] int exitStatusFor(history::OpenFault fault);

// "PATH, a sample every 10 s" for the start line.
[[nodiscard]] QString storeText(const history::StoreSettings& settings);

} // namespace quorvel::service
