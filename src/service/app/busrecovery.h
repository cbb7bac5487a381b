#pragma once

#include "service/app/serviceconfig.h"

#include "acquisition/sensorreader.h"
#include "runtime/messagesink.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>

namespace quorvel::runtime {
class GroupCommand;
class Timer;
} // namespace quorvel::runtime

namespace quorvel::service {

class StateStore;
struct BusHealth;

// "45 s", "3 min 12 s", "2 h 5 min": how long a bus was down or waits, for the journal.
[[nodiscard]] QString spanText(qint64 seconds);

// Brings back a source whose every read fails: once no read was good for `after` seconds it tries the steps
// its reader offers and the configuration names, one per `after` (a search of the bus, the command, a rebind
// of the bus master), then pauses twice as long each round, to an hour, until a read is good again. What it
// tries and what came of it goes into the source's bus health and the journal, at most LinesPerHour lines
// an hour (any hour). Turned off, it only keeps since when the bus is down. Every wait is a timer on the
// event loop; the command runs as the alarm command does.
class BusRecovery final : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxPauseSeconds = 3600;
    static constexpr int LinesPerHour = 10;

    struct Parts {
        std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };
        // Makes the timers it waits with, owned by the parent given.
        std::function<runtime::Timer*(QObject*)> makeTimer;
        int commandKillAfterMs = 30'000;
    };

    BusRecovery(QString source, RecoverySettings settings, acquisition::SensorReader& reader,
                StateStore& store, runtime::MessageSink messages, Parts parts, QObject* parent = nullptr);
    BusRecovery(QString source, RecoverySettings settings, acquisition::SensorReader& reader,
                StateStore& store, runtime::MessageSink messages, QObject* parent = nullptr)
        : BusRecovery(std::move(source), std::move(settings), reader, store, std::move(messages), Parts{},
                      parent)
    {
    }
    // A command still running is killed with all it started.
    ~BusRecovery() override;

    // Counts from now: down when no read is good for `after` seconds.
    void start();
    // Waits no more and kills a command still running.
    void stop();
    // Every read of the source; good: Ok.
    void onRead(bool good);
    // A recovery command is running.
    [[nodiscard]] bool commandRuns() const { return commandRuns_; }

signals:
    // The first good read after the bus was down: a sensor that lost its power lost its resolution with it.
    void readsAgain();

private:
    enum class Step { Search, Command, Rebind };

    [[nodiscard]] QList<Step> offered() const;
    [[nodiscard]] BusHealth* health() const;
    void becomeDown();
    void beginRound();
    void tryStep();
    void onNext();
    void beginPause();
    void runCommand(int attempt);
    // The step of that attempt failed by itself: counted so at once.
    void failStep(int attempt, const QString& problem);
    // The step of that attempt has its answer (done or failed); an overdue next step follows now.
    void answered(int attempt);
    // The step waiting for its effect gets its result.
    void settle(const QString& result);
    void count(const QString& step, const QString& result, const QString& detail);
    void tell(const QString& text);

    QString source_;
    RecoverySettings settings_;
    acquisition::SensorReader& reader_;
    StateStore& store_;
    runtime::MessageSink messages_;
    Parts parts_;
    runtime::Timer* quiet_; // no good read for `after`
    runtime::Timer* next_;  // the next step, or the pause's end
    QPointer<runtime::GroupCommand> command_;
    bool commandRuns_ = false;

    bool running_ = false;
    bool down_ = false;
    bool answered_ = true; // the step in hand answered
    bool overdue_ = false; // its `after` ran out before its answer came
    bool pausing_ = false;
    QDateTime lastGood_;
    int round_ = 0;
    QList<Step> steps_;
    int stepIndex_ = 0;
    QStringList tried_;           // this round's steps as the journal names them
    int attempt_ = 0;             // each step tried counts one on
    std::optional<Step> pending_; // tried, its effect not known yet
    // The journal's budget: when the lines of the last hour went, and how many were held back since.
    std::deque<QDateTime> told_;
    int heldBack_ = 0;
};

} // namespace quorvel::service
