#pragma once

#include <functional>

namespace quorvel::runtime {

// Ends the process at once: no further handler runs. Tests install an ender that records the request and
// returns, so the paths that end the program can be exercised in-process; callers therefore stop their own
// work after asking for the end.
class ProcessControl {
public:
    using Ender = std::function<void(int exitCode)>;

    static void endProcess(int exitCode);

    static void setEnder(Ender ender);
    static void resetEnder();

    // A write beyond the file size limit (ulimit -f) then fails with EFBIG, so the log cuts the record back
    // and counts it lost, instead of the kernel's SIGXFSZ ending the program with a torn last line.
    static void ignoreFileSizeSignal();
};

} // namespace quorvel::runtime
