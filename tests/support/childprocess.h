#pragma once

#include <QProcess>

#include <csignal>
#include <sys/prctl.h>

namespace quorvel::testing {

// A server a test starts is killed with the test, even when the test itself is killed; a child that must
// clean up on the way out asks for SIGTERM.
inline void diesWithParent(QProcess* process, int signal = SIGKILL)
{
    process->setChildProcessModifier([signal] { ::prctl(PR_SET_PDEATHSIG, signal); });
}

} // namespace quorvel::testing
