#pragma once

#include "acquisition/sourcekind.h"

namespace quorvel::acquisition {

// A 1-Wire server, asked over its TCP protocol.
[[nodiscard]] const SourceKind& owserverKind();

} // namespace quorvel::acquisition
