#pragma once

#include <QProcess>
#include <QTcpServer>

#include <csignal>
#include <sys/prctl.h>

namespace quorvel::testing {

// A loopback port nobody listens on now (0 when none could be had).
inline quint16 freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

// A server a test starts is killed with the test, even when the test itself is killed; a child that must
// clean up on the way out asks for SIGTERM.
inline void diesWithParent(QProcess* process, int signal = SIGKILL)
{
    process->setChildProcessModifier([signal] { ::prctl(PR_SET_PDEATHSIG, signal); });
}

// Asks a server to end, as its service manager would, and kills it if it takes longer than graceMs.
inline void endProcess(QProcess* process, int graceMs = 5000)
{
    if (process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    if (!process->waitForFinished(graceMs))
        process->kill();
    process->waitForFinished(5000);
}

} // namespace quorvel::testing
