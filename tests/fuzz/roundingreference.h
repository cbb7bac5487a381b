#pragma once

#include <cstdio>
#include <cstdlib>

namespace quorvel::fuzz {

// The float a seven-significant-digit text of value reads back as, worked out by the C library rather
// than by the code under test: what a text written by singleToText must read back as.
[[nodiscard]] inline float roundedToSevenDigits(float value)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6e", static_cast<double>(value));
    return std::strtof(buf, nullptr);
}

} // namespace quorvel::fuzz
