#include "service/outputs/alarms/alarmcommand.h"

#include "runtime/groupcommand.h"

namespace quorvel::service {

namespace {

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
    for (runtime::GroupCommand* run : findChildren<runtime::GroupCommand*>(Qt::FindDirectChildrenOnly)) {
        run->disconnect(this);
        delete run;
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
    if (!sensor.waiting || sensor.running || sensor.spacing->isActive() || sensor.queued)
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
    QProcessEnvironment environment = *std::exchange(sensor.waiting, std::nullopt);
    auto* run = new runtime::GroupCommand(bounds_.killAfterMs, this);
    sensor.spacing->start(bounds_.spacingMs);
    if (!run->start(command_, environment)) {
        delete run;
        onRefused(sensor, std::move(environment));
        return;
    }
    sensor.running = true;
    ++running_;
    connect(run, &runtime::GroupCommand::ended, this, [this, &sensor](bool ok, const QString& how) {
        cannotStartTold_ = false; // told again should it stop starting once more
        if (!ok)
            messages_(QStringLiteral("alarm command for %1 failed: %2").arg(sensor.what, how));
        onEnded(sensor);
    });
    connect(run, &runtime::GroupCommand::cannotStart, this, [this, &sensor](const QString& reason) {
        if (!std::exchange(cannotStartTold_, true))
            messages_(QStringLiteral("alarm command %1 cannot be started: %2").arg(command_.front(), reason));
        onEnded(sensor);
    });
    connect(run, &runtime::GroupCommand::leftBehind, this, [this, &sensor] {
        messages_(QStringLiteral("alarm command for %1 left processes behind: killed after %2 s")
                      .arg(sensor.what, seconds(bounds_.killAfterMs)));
    });
}

void AlarmCommand::onRefused(Sensor& sensor, QProcessEnvironment environment)
{
    // The latest change stays the one to deliver; it goes first again once the system has room.
    if (!sensor.waiting)
        sensor.waiting = std::move(environment);
    sensor.spacing->stop();
    // Qt's own words may name the wrong cause here: the system's errno is gone by then.
    if (!std::exchange(refusedTold_, true))
        messages_(QStringLiteral("alarm command %1 refused by the system (descriptors, processes or memory): "
                                 "waiting commands tried again every %2 s")
                      .arg(command_.front(), seconds(bounds_.retryAfterMs)));
    sensor.queued = true;
    queue_.push_front(&sensor);
    retry_.start(bounds_.retryAfterMs);
}

void AlarmCommand::onEnded(Sensor& sensor)
{
    sensor.running = false;
    --running_;
    emit finished();
    queueIfDue(sensor);
    startQueued();
}

} // namespace quorvel::service
