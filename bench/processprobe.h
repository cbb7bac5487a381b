#pragma once

#include <optional>

namespace quorvel::bench {

// What the kernel says about this process: the figures a long run must keep flat.
class ProcessProbe {
public:
    // User plus system time of all threads so far.
    [[nodiscard]] static double cpuSeconds();
    // A kB field of /proc/self/status such as "VmHWM" or "VmRSS"; nothing where there is no such file.
    [[nodiscard]] static std::optional<long> statusKb(const char* field);
    // Entries of /proc/self/fd, not counting the one used to list them.
    [[nodiscard]] static std::optional<int> openDescriptors();
    // Private_Clean plus Private_Dirty of /proc/self/smaps_rollup: what this process holds that no other
    // shares.
    [[nodiscard]] static std::optional<long> privateKb();
};

} // namespace quorvel::bench
