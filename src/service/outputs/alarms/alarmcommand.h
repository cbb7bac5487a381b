#pragma once

#include "service/outputs/alarms/alarmmessages.h"
#include "service/state/sensorstate.h"

#include "runtime/groupcommand.h"
#include "runtime/messagesink.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <utility>

namespace quorvel::service {

// Runs the alarm command on each change of a sensor's alarm, the facts in its environment, without a shell.
// The event loop starts it and hears its end, so no sweep waits for it. Per sensor at most one runs, and
// at most one starts per spacing: a change meanwhile waits, and only the latest is delivered. Over all
// sensors at most a few run at once; the others wait their turn, first waiting first started, and a start
// the system refuses for lack of descriptors or processes waits for the next turn, not lost. Each command
// runs in a process group of its own, so what it starts ends with it at its time limit or the service's end.
class AlarmCommand final : public QObject {
    Q_OBJECT
public:
    // Commands running at once, over every sensor.
    static constexpr int MaxRunning = 8;
    // Descriptors the service holds for one command; a start it cannot get them for is tried again.
    static constexpr int DescriptorsPerCommand = runtime::GroupCommand::Descriptors;

    struct Bounds {
        int killAfterMs = 30'000;       // a command still running then is killed, with all it started
        int spacingMs = AlarmSpacingMs; // between two starts for one sensor
        int maxRunning = MaxRunning;    // at once, over every sensor
        int retryAfterMs = 1'000;       // after a start the system refused
    };

    AlarmCommand(QStringList command, runtime::MessageSink messages, Bounds bounds,
                 QObject* parent = nullptr);
    AlarmCommand(QStringList command, runtime::MessageSink messages, QObject* parent = nullptr)
        : AlarmCommand(std::move(command), std::move(messages), Bounds{}, parent)
    {
    }
    ~AlarmCommand() override;

    void onAlarmChanged(const SensorState& sensor, AlarmState previous);

    // Commands running now, over every sensor.
    [[nodiscard]] int running() const { return running_; }

signals:
    // A command ended, well or not (for tests and whoever waits for the last one).
    void finished();

private:
    struct Sensor {
        bool running = false;                       // its command's first process
        std::optional<QProcessEnvironment> waiting; // the latest change not yet delivered
        QTimer* spacing = nullptr;                  // running: no start yet
        QString what;                               // "source S sensor N", for messages
        bool queued = false;                        // in queue_
    };

    void queueIfDue(Sensor& sensor);
    void startQueued();
    void start(Sensor& sensor);
    void onRefused(Sensor& sensor, QProcessEnvironment environment);
    void onEnded(Sensor& sensor);

    QStringList command_;
    runtime::MessageSink messages_;
    Bounds bounds_;
    std::map<AlarmKey, Sensor> sensors_;
    std::deque<Sensor*> queue_; // due, waiting for a turn
    QTimer retry_;              // running: the system refused the last start
    int running_ = 0;
    bool cannotStartTold_ = false;
    bool refusedTold_ = false; // until every waiting command has started
};

} // namespace quorvel::service
