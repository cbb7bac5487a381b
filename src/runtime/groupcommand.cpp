#include "runtime/groupcommand.h"

#include <csignal>
#include <map>

#include <unistd.h>

namespace quorvel::runtime {

namespace {

// In the child before exec: a group of its own, so that one kill reaches all it starts; and the default
// for the signal the service ignores for its own logs.
void enterOwnGroup()
{
    ::setpgid(0, 0);
    ::signal(SIGXFSZ, SIG_DFL);
}

// Every group a run still answers for: a number free again means the group it named is gone.
std::map<pid_t, GroupCommand*>& groups()
{
    static std::map<pid_t, GroupCommand*> all;
    return all;
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0);
}

} // namespace

GroupCommand::GroupCommand(int killAfterMs, QObject* parent) : QObject(parent), killAfterMs_(killAfterMs)
{
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    connect(&deadline_, &QTimer::timeout, this, &GroupCommand::onDeadline);
}

GroupCommand::~GroupCommand()
{
    if (group_ != 0)
        ::kill(-group_, SIGKILL);
    forgetGroup();
    if (process_) {
        process_->disconnect(this);
        delete process_;
    }
}

QString GroupCommand::failureText(bool killed, QProcess::ExitStatus how, int status,
                                  const QByteArray& stderrBytes, int killAfterMs)
{
    const QString first =
        QString::fromUtf8(stderrBytes.left(StderrKeptBytes)).section(QLatin1Char('\n'), 0, 0).trimmed();
    const QString ending = killed ? QStringLiteral("killed after %1 s").arg(seconds(killAfterMs))
                           : how == QProcess::CrashExit ? QStringLiteral("ended by a signal")
                                                        : QStringLiteral("exit status %1").arg(status);
    return first.isEmpty() ? ending : ending + QStringLiteral(": ") + first;
}

bool GroupCommand::start(const QStringList& command, const QProcessEnvironment& environment)
{
    process_ = new QProcess(this);
    process_->setProcessEnvironment(environment);
    process_->setStandardInputFile(QProcess::nullDevice());
    process_->setStandardOutputFile(QProcess::nullDevice());
    process_->setChildProcessModifier(enterOwnGroup);
    // What fails inside start() failed here, for lack of a descriptor, a process or memory; a program that
    // cannot be run is told later, from the child.
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        if (starting_) {
            refused_ = true;
            return;
        }
        deadline_.stop();
        forgetGroup();
        const QString reason = process_->errorString();
        process_->disconnect(this);
        process_->deleteLater();
        process_ = nullptr;
        emit cannotStart(reason);
        deleteLater();
    });
    starting_ = true;
    process_->start(command.value(0), command.mid(1));
    starting_ = false;
    if (refused_) {
        process_->disconnect(this);
        delete process_;
        process_ = nullptr;
        return false;
    }

    group_ = static_cast<pid_t>(process_->processId());
    ::setpgid(group_, group_); // as the child does: the group is there before anything can be told to it
    if (const auto stale = groups().find(group_); stale != groups().end())
        stale->second->group_ = 0;
    groups()[group_] = this;
    deadline_.start(killAfterMs_);

    connect(process_, &QProcess::readyReadStandardError, this, [this] {
        const QByteArray more = process_->readAllStandardError();
        if (stderr_.size() < StderrKeptBytes)
            stderr_ += more.left(StderrKeptBytes - stderr_.size());
    });
    connect(process_, &QProcess::finished, this, &GroupCommand::onFinished);
    return true;
}

void GroupCommand::onFinished(int status, QProcess::ExitStatus how)
{
    const bool killed = !deadline_.isActive();
    if (stderr_.size() < StderrKeptBytes)
        stderr_ += process_->readAllStandardError().left(StderrKeptBytes - stderr_.size());
    process_->disconnect(this);
    process_->deleteLater();
    process_ = nullptr;
    // A group that outlives its first process keeps its deadline.
    if (!killed && (group_ == 0 || ::kill(-group_, 0) != 0)) {
        deadline_.stop();
        forgetGroup();
    }
    const bool ok = !killed && how == QProcess::NormalExit && status == 0;
    emit ended(ok, ok ? QString() : failureText(killed, how, status, stderr_, killAfterMs_));
    if (!deadline_.isActive())
        deleteLater();
}

void GroupCommand::onDeadline()
{
    if (process_)
        process_->kill(); // should it have left the group
    const bool behind = group_ != 0 && ::kill(-group_, SIGKILL) == 0 && !process_;
    forgetGroup();
    if (behind)
        emit leftBehind();
    if (!process_)
        deleteLater();
}

void GroupCommand::forgetGroup()
{
    if (const auto it = groups().find(group_); it != groups().end() && it->second == this)
        groups().erase(it);
    group_ = 0;
}

} // namespace quorvel::runtime
