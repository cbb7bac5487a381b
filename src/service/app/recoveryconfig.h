#pragma once

#include "service/app/serviceconfig.h"

#include "runtime/configyaml.h"

#include <QDir>
#include <QStringList>

#include <optional>

namespace quorvel::service {

// A program and its arguments, run without a shell (keys alarm_command, recovery.command): a list, so
// nothing is split or quoted. A bare name is looked up in PATH as the start will; a relative path is the
// file's folder's. Empty, told, when it is no good.
[[nodiscard]] QStringList readCommand(const runtime::configyaml::Entry& entry, const QDir& folder,
                                      runtime::configyaml::Faults& faults);

// A source's key recovery: false, or a mapping of after, command and rebind (kind w1 only). Nothing, told,
// when it is no good.
[[nodiscard]] std::optional<RecoverySettings> readRecovery(const runtime::configyaml::Entry& entry,
                                                           const acquisition::SourceKind& kind,
                                                           const QDir& folder,
                                                           runtime::configyaml::Faults& faults);

// "recovery after 60 s: search, command X Y, rebind DEVICE" or "recovery off".
[[nodiscard]] QString recoveryText(const RecoverySettings& recovery);

} // namespace quorvel::service
