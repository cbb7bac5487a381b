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
};

} // namespace quorvel::runtime
