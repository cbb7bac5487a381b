#include "processcontrol.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace quorvel::runtime {

namespace {
ProcessControl::Ender& ender()
{
    static ProcessControl::Ender e;
    return e;
}
} // namespace

void ProcessControl::endProcess(int exitCode)
{
    if (ender()) {
        ender()(exitCode);
        return;
    }
    // The log is written with unbuffered system calls and closed before this point, and the settings are
    // synced when written; skipping destructors keeps a late handler from running on a torn-down window.
    std::fflush(nullptr);
    std::_Exit(exitCode);
}

void ProcessControl::setEnder(Ender e)
{
    ender() = std::move(e);
}
void ProcessControl::resetEnder()
{
    ender() = nullptr;
}

void ProcessControl::ignoreFileSizeSignal()
{
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace quorvel::runtime
