#include "service/outputs/alarmcommand.h"

#include "service/outputs/alarmmessages.h"

namespace quorvel::service {

namespace {

// Enough of standard error for the journal's one line; the rest is read and dropped.
constexpr qsizetype StderrKeptBytes = 512;

} // namespace

AlarmCommand::AlarmCommand(QStringList command, runtime::MessageSink messages, Bounds bounds, QObject* parent)
    : QObject(parent), command_(std::move(command)), messages_(std::move(messages)), bounds_(bounds)
{
}

AlarmCommand::~AlarmCommand()
{
    // A command still running is killed, and its end no longer reaches what is going away.
    for (auto& [key, sensor] : sensors_)
        if (sensor.process) {
            sensor.process->disconnect(this);
            delete sensor.process;
        }
}

int AlarmCommand::running() const
{
    int count = 0;
    for (const auto& [key, sensor] : sensors_)
        count += sensor.process ? 1 : 0;
    return count;
}

void AlarmCommand::onAlarmChanged(const SensorState& state, AlarmState previous)
{
    if (command_.isEmpty())
        return;
    Sensor& sensor = sensors_[{state.source, state.slot}];
    if (!sensor.spacing) {
        sensor.what = QStringLiteral("source %1 sensor %2").arg(state.source).arg(state.slot + 1);
        sensor.spacing = new QTimer(this);
        sensor.spacing->setSingleShot(true);
        sensor.spacing->setTimerType(Qt::PreciseTimer); // a coarse one may fire 5 % early
        connect(sensor.spacing, &QTimer::timeout, this, [this, &sensor] { startIfDue(sensor); });
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : alarmEnvironment(state, previous))
        environment.insert(name, value);
    sensor.waiting = std::move(environment);
    startIfDue(sensor);
}

void AlarmCommand::startIfDue(Sensor& sensor)
{
    if (!sensor.waiting || sensor.process || sensor.spacing->isActive())
        return;
    auto* process = new QProcess(this);
    process->setProcessEnvironment(*std::exchange(sensor.waiting, std::nullopt));
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    auto* kill = new QTimer(process);
    kill->setSingleShot(true);
    connect(kill, &QTimer::timeout, process, &QProcess::kill);
    auto stderrLine = std::make_shared<QByteArray>();
    connect(process, &QProcess::readyReadStandardError, process, [process, stderrLine] {
        const QByteArray more = process->readAllStandardError();
        if (stderrLine->size() < StderrKeptBytes)
            *stderrLine += more.left(StderrKeptBytes - stderrLine->size());
    });
    connect(process, &QProcess::finished, this,
            [this, &sensor, process, kill, stderrLine](int status, QProcess::ExitStatus how) {
                if (kill->isActive() && how == QProcess::NormalExit && status == 0) {
                    onEnded(sensor, *process);
                    return;
                }
                *stderrLine += process->readAllStandardError().left(StderrKeptBytes);
                const QString first = QString::fromUtf8(stderrLine->left(StderrKeptBytes))
                                          .section(QLatin1Char('\n'), 0, 0)
                                          .trimmed();
                const QString ending =
                    !kill->isActive() ? QStringLiteral("killed after %1 s").arg(bounds_.killAfterMs / 1000.0)
                    : how == QProcess::CrashExit ? QStringLiteral("ended by a signal")
                                                 : QStringLiteral("exit status %1").arg(status);
                messages_(QStringLiteral("alarm command for %1 failed: %2%3")
                              .arg(sensor.what, ending,
                                   first.isEmpty() ? QString() : QStringLiteral(": ") + first));
                onEnded(sensor, *process);
            });
    connect(process, &QProcess::errorOccurred, this, [this, &sensor, process](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        if (!std::exchange(cannotStartTold_, true))
            messages_(QStringLiteral("alarm command %1 cannot be started: %2")
                          .arg(command_.front(), process->errorString()));
        onEnded(sensor, *process);
    });
    // Told again should it stop starting once more.
    connect(process, &QProcess::started, this, [this] { cannotStartTold_ = false; });
    sensor.process = process;
    sensor.spacing->start(bounds_.spacingMs);
    kill->start(bounds_.killAfterMs);
    process->start(command_.front(), command_.mid(1));
}

void AlarmCommand::onEnded(Sensor& sensor, QProcess& process)
{
    process.disconnect(this);
    process.deleteLater();
    sensor.process = nullptr;
    emit finished();
    startIfDue(sensor);
}

} // namespace quorvel::service
