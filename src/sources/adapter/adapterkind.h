#pragma once

#include "acquisition/sourcekind.h"

namespace quorvel::acquisition {

// The 1-Wire-to-Ethernet adapter, read through its sensor pages.
[[nodiscard]] const SourceKind& adapterKind();

} // namespace quorvel::acquisition
