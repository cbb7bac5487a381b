#pragma once

#include "service/state/sensorstate.h"

#include "runtime/messagesink.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <map>
#include <memory>
#include <optional>
#include <utility>

namespace quorvel::service {

// Runs the alarm command on each change of a sensor's alarm, the facts in its environment, without a shell.
// The event loop starts it and hears its end, so no sweep waits for it. Per sensor at most one runs, and
// at most one starts per spacing: a change meanwhile waits, and only the latest is delivered.
class AlarmCommand final : public QObject {
    Q_OBJECT
public:
    struct Bounds {
        int killAfterMs = 30'000; // a command still running then is killed
        int spacingMs = 10'000;   // between two starts for one sensor
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
    [[nodiscard]] int running() const;

signals:
    // A command ended, well or not (for tests and whoever waits for the last one).
    void finished();

private:
    struct Sensor {
        QPointer<QProcess> process;
        std::optional<QProcessEnvironment> waiting; // the latest change not yet delivered
        QTimer* spacing = nullptr;                  // running: no start yet
        QString what;                               // "source S sensor N", for messages
    };

    void startIfDue(Sensor& sensor);
    void onEnded(Sensor& sensor, QProcess& process);

    QStringList command_;
    runtime::MessageSink messages_;
    Bounds bounds_;
    std::map<std::pair<QString, int>, Sensor> sensors_;
    bool cannotStartTold_ = false;
};

} // namespace quorvel::service
