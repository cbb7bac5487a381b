#pragma once

#include "acquisition/sourcekind.h"

namespace quorvel::acquisition {

// The kernel's 1-Wire bus, read through its sysfs files.
[[nodiscard]] const SourceKind& w1Kind();

} // namespace quorvel::acquisition
