#pragma once

#include "acquisition/sourcekind.h"

#include <QString>

#include <span>

namespace quorvel::acquisition {

// Every kind of source the service reads; the first is the kind of a source that names none.
[[nodiscard]] std::span<const SourceKind* const> sourceKinds();

// The kind of that name; nothing when there is none.
[[nodiscard]] const SourceKind* findSourceKind(const QString& name);

} // namespace quorvel::acquisition
