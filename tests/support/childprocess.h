#pragma once

#include <QProcess>

#include <csignal>
#include <sys/prctl.h>

namespace quorvel::testing {

// A server a test starts is killed with the test, even when the test itself is killed.
inline void diesWithParent(QProcess* process)
{
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

} // namespace quorvel::testing
