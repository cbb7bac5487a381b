#pragma once

#include "service/outputs/alarms/alarmmessages.h"
#include "service/state/sensorstate.h"

#include "runtime/messagesink.h"
#include "runtime/timer.h"

#include <QObject>

#include <functional>
#include <map>
#include <memory>

namespace quorvel::service {

// The journal's lines of alarm changes, at most one per sensor per spacing. A change after a quiet spell is
// told at once; the changes within the spacing after a line are told together at its end: the state then,
// and how many changes the line stands for.
class AlarmJournal final : public QObject {
    Q_OBJECT
public:
    using TimerFactory = std::function<std::unique_ptr<runtime::Timer>()>;

    AlarmJournal(runtime::MessageSink messages, int spacingMs, TimerFactory timers,
                 QObject* parent = nullptr);
    explicit AlarmJournal(runtime::MessageSink messages, QObject* parent = nullptr);

    void onAlarmChanged(const SensorState& sensor, AlarmState previous);

private:
    struct Sensor {
        std::unique_ptr<runtime::Timer> spacing; // running: the next change waits
        QString line;                            // the latest change waiting, if held > 0
        int held = 0;
    };

    void onSpacingOver(Sensor& sensor);

    runtime::MessageSink messages_;
    int spacingMs_;
    TimerFactory timers_;
    std::map<AlarmKey, Sensor> sensors_;
};

} // namespace quorvel::service
