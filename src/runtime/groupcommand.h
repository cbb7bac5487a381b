#pragma once

#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTimer>

#include <sys/types.h>

namespace quorvel::runtime {

// One run of a command the service starts on its own (an alarm's, a bus's recovery): without a shell, in a
// process group of its own, so that one kill at its time limit or at the owner's end reaches all it started.
// Its standard input and output are the null device; the first line of its standard error is kept for the
// journal. The owner makes one per run and deletes it when start() fails; else it deletes itself once its
// process ended and nothing of its group is left.
class GroupCommand final : public QObject {
    Q_OBJECT
public:
    // Descriptors the owner holds for one run from its start to its end: its standard error's pipe, its
    // process descriptor and, until it has started, the pipe that reports its start. A start takes three more
    // for a moment (standard input and output, the other end of the pipe); one it cannot get is a start
    // refused.
    static constexpr int Descriptors = 3;
    // Keeps at most this much of standard error; the rest is read and dropped.
    static constexpr qsizetype StderrKeptBytes = 512;

    GroupCommand(int killAfterMs, QObject* parent);
    // Kills the group: nothing a command started outlives its owner.
    ~GroupCommand() override;

    // False when the system refused the start (descriptors, processes or memory): nothing runs. A program
    // that cannot be run is told by cannotStart(), later.
    [[nodiscard]] bool start(const QStringList& command, const QProcessEnvironment& environment);

    // "killed after 30 s", "ended by a signal" or "exit status 3", with ": " and the first line of standard
    // error when there is one.
    [[nodiscard]] static QString failureText(bool killed, QProcess::ExitStatus how, int status,
                                             const QByteArray& stderrBytes, int killAfterMs);

signals:
    // Its first process ended; ok: exit status 0 before its time limit, else how it failed in words.
    void ended(bool ok, const QString& how);
    // The program could not be run (missing, not executable): Qt's words.
    void cannotStart(const QString& reason);
    // Its process ended in time, but what it started was still there at the time limit: killed.
    void leftBehind();

private:
    void onFinished(int status, QProcess::ExitStatus how);
    void onDeadline();
    void forgetGroup();

    int killAfterMs_;
    QProcess* process_ = nullptr; // until it ended
    QTimer deadline_;
    pid_t group_ = 0; // 0: none left to kill
    QByteArray stderr_;
    bool starting_ = false;
    bool refused_ = false;
};

} // namespace quorvel::runtime
