#include "service/outputs/alarms/alarmcommand.h"

#include <csignal>

#include <unistd.h>

namespace quorvel::service {

namespace {

// Enough of standard error for the journal's one line; the rest is read and dropped.
constexpr qsizetype StderrKeptBytes = 512;

// In the child before exec: a group of its own, so that one kill reaches all it starts; and the default
// for the signal the service ignores for its own logs.
void enterOwnGroup()
{
    ::setpgid(0, 0);
    ::signal(SIGXFSZ, SIG_DFL);
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0);
}

} // namespace

AlarmCommand::AlarmCommand(QStringList command, runtime::MessageSink messages, Bounds bounds, QObject* parent)
    : QObject(parent), command_(std::move(command)), messages_(std::move(messages)), bounds_(bounds)
{
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &AlarmCommand::startQueued);
}

AlarmCommand::~AlarmCommand()
{
    // Nothing a command started outlives the service; a command still running is killed, and its end no
    // longer reaches what is going away.
    for (const auto& [group, deadline] : groups_)
        ::kill(-group, SIGKILL);
    for (auto& [key, sensor] : sensors_)
        if (sensor.process) {
            sensor.process->disconnect(this);
            delete sensor.process;
        }
}

void AlarmCommand::onAlarmChanged(const SensorState& state, AlarmState previous)
{
    if (command_.isEmpty())
        return;
    Sensor& sensor = sensors_[alarmKey(state)];
    if (!sensor.spacing) {
        sensor.what = QStringLiteral("source %1 sensor %2").arg(state.source).arg(state.slot + 1);
        sensor.spacing = new QTimer(this);
        sensor.spacing->setSingleShot(true);
        sensor.spacing->setTimerType(Qt::PreciseTimer); // a coarse one may fire 5 % early
        connect(sensor.spacing, &QTimer::timeout, this, [this, &sensor] {
            queueIfDue(sensor);
            startQueued();
        });
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : alarmEnvironment(state, previous))
        environment.insert(name, value);
    sensor.waiting = std::move(environment);
    queueIfDue(sensor);
    startQueued();
}

void AlarmCommand::queueIfDue(Sensor& sensor)
{
    if (!sensor.waiting || sensor.process || sensor.spacing->isActive() || sensor.queued)
        return;
    sensor.queued = true;
    queue_.push_back(&sensor);
}

void AlarmCommand::startQueued()
{
    while (!queue_.empty() && running_ < bounds_.maxRunning && !retry_.isActive()) {
        Sensor& sensor = *queue_.front();
        queue_.pop_front();
        sensor.queued = false;
        start(sensor);
    }
    if (queue_.empty())
        refusedTold_ = false; // told again at the next time the system refuses
}

void AlarmCommand::start(Sensor& sensor)
{
    auto* process = new QProcess(this);
    process->setProcessEnvironment(*std::exchange(sensor.waiting, std::nullopt));
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setChildProcessModifier(enterOwnGroup);
    // What fails inside start() failed here, for lack of a descriptor, a process or memory; a program that
    // cannot be run is told later, from the child.
    connect(process, &QProcess::errorOccurred, this, [this, &sensor, process](QProcess::ProcessError error) {
        if (starting_ && error == QProcess::FailedToStart)
            onRefused(sensor, *process);
    });
    sensor.process = process;
    ++running_;
    sensor.spacing->start(bounds_.spacingMs);
    starting_ = true;
    process->start(command_.front(), command_.mid(1));
    starting_ = false;
    if (sensor.process != process)
        return;

    const auto group = static_cast<pid_t>(process->processId());
    ::setpgid(group, group); // as the child does: the group is there before anything can be told to it
    if (const auto stale = groups_.find(group); stale != groups_.end()) {
        // Its number was free again, so the group it named is gone.
        delete stale->second;
        groups_.erase(stale);
    }
    auto* deadline = new QTimer(this);
    deadline->setSingleShot(true);
    groups_[group] = deadline;
    watchGroup(sensor, *process, *deadline);
    deadline->start(bounds_.killAfterMs);

    auto stderrLine = std::make_shared<QByteArray>();
    connect(process, &QProcess::readyReadStandardError, process, [process, stderrLine] {
        const QByteArray more = process->readAllStandardError();
        if (stderrLine->size() < StderrKeptBytes)
            *stderrLine += more.left(StderrKeptBytes - stderrLine->size());
    });
    const QPointer<QTimer> limit = deadline;
    connect(process, &QProcess::finished, this,
            [this, &sensor, process, limit, group, stderrLine](int status, QProcess::ExitStatus how) {
                const bool killed = !limit || !limit->isActive();
                // A group that outlives its first process keeps its deadline.
                if (!killed && ::kill(-group, 0) != 0) {
                    delete limit;
                    groups_.erase(group);
                }
                if (!killed && how == QProcess::NormalExit && status == 0) {
                    onEnded(sensor, *process);
                    return;
                }
                *stderrLine += process->readAllStandardError().left(StderrKeptBytes);
                const QString first = QString::fromUtf8(stderrLine->left(StderrKeptBytes))
                                          .section(QLatin1Char('\n'), 0, 0)
                                          .trimmed();
                const QString ending =
                    killed ? QStringLiteral("killed after %1 s").arg(seconds(bounds_.killAfterMs))
                    : how == QProcess::CrashExit ? QStringLiteral("ended by a signal")
                                                 : QStringLiteral("exit status %1").arg(status);
                messages_(QStringLiteral("alarm command for %1 failed: %2%3")
                              .arg(sensor.what, ending,
                                   first.isEmpty() ? QString() : QStringLiteral(": ") + first));
                onEnded(sensor, *process);
            });
    connect(process, &QProcess::errorOccurred, this,
            [this, &sensor, process, limit, group](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart)
                    return;
                delete limit;
                groups_.erase(group);
                if (!std::exchange(cannotStartTold_, true))
                    messages_(QStringLiteral("alarm command %1 cannot be started: %2")
                                  .arg(command_.front(), process->errorString()));
                onEnded(sensor, *process);
            });
    // Told again should it stop starting once more.
    connect(process, &QProcess::started, this, [this] { cannotStartTold_ = false; });
}

void AlarmCommand::watchGroup(Sensor& sensor, QProcess& process, QTimer& deadline)
{
    const auto group = static_cast<pid_t>(process.processId());
    connect(&deadline, &QTimer::timeout, this, [this, &sensor, &deadline, group, first = QPointer(&process)] {
        const bool firstRuns = first && sensor.process == first;
        if (firstRuns)
            first->kill(); // should it have left the group
        if (::kill(-group, SIGKILL) == 0 && !firstRuns)
            messages_(QStringLiteral("alarm command for %1 left processes behind: killed after %2 s")
                          .arg(sensor.what, seconds(bounds_.killAfterMs)));
        groups_.erase(group);
        deadline.deleteLater();
    });
}

void AlarmCommand::onRefused(Sensor& sensor, QProcess& process)
{
    // The latest change stays the one to deliver; it goes first again once the system has room.
    if (!sensor.waiting)
        sensor.waiting = process.processEnvironment();
    sensor.spacing->stop();
    // Qt's own words may name the wrong cause here: the system's errno is gone by then.
    if (!std::exchange(refusedTold_, true))
        messages_(QStringLiteral("alarm command %1 refused by the system (descriptors, processes or memory): "
                                 "waiting commands tried again every %2 s")
                      .arg(command_.front(), seconds(bounds_.retryAfterMs)));
    release(sensor, process);
    sensor.queued = true;
    queue_.push_front(&sensor);
    retry_.start(bounds_.retryAfterMs);
}

void AlarmCommand::onEnded(Sensor& sensor, QProcess& process)
{
    release(sensor, process);
    emit finished();
    queueIfDue(sensor);
    startQueued();
}

void AlarmCommand::release(Sensor& sensor, QProcess& process)
{
    process.disconnect(this);
    process.deleteLater();
    sensor.process = nullptr;
    --running_;
}

} // namespace quorvel::service
