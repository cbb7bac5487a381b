#pragma once

#include "service/state/outputlink.h"
#include "service/state/sensorsettings.h"
#include "service/state/sensorstate.h"

#include "acquisition/sensorlist.h"
#include "acquisition/sensorreading.h"
#include "acquisition/sourcekind.h"
#include "runtime/timer.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace quorvel::service {

// The one store of the service's state, keyed by source and sensor, updated once per reading event; every
// output (metrics, the page and its JSON, MQTT, the service manager's status) reads it and keeps none of
// its own. Its signals say what changed, after the store took it.
class StateStore final : public QObject {
    Q_OBJECT
public:
    // The MQTT connection's state, for the metrics: the transport's, not a sensor's.
    struct MqttLink {
        bool enabled = false;
        bool connected = false;
        quint64 published = 0;
        quint64 connectionFailures = 0;
    };

    // keepHistory: each source keeps a day of good readings, for the page's charts.
    StateStore(int staleAfterSeconds, bool keepHistory, QObject* parent = nullptr);
    ~StateStore() override;

    // A source of a name already here lists other sensors now: they replace its own (their alarms kept as
    // for a source removed and added), and whether it answers stays as it was.
    SourceState& addSource(const QString& name, const acquisition::SourceKind& kind, const QString& address,
                           const QList<acquisition::ListedSensor>& sensors, const QString& logPath,
                           const QDateTime& started = QDateTime::currentDateTime(),
                           const SensorSettingsMap& settings = {});

    // A source that stopped (a reload removed or changed it) takes its state with it, but for the alarms: a
    // source of that name added next gives each sensor with the same ROM code and settings its alarm back.
    void removeSource(const QString& name);

    [[nodiscard]] const std::vector<std::unique_ptr<SourceState>>& sources() const { return sources_; }
    [[nodiscard]] SourceState* source(const QString& name) const;
    [[nodiscard]] int sensorCount() const;
    [[nodiscard]] int staleAfterSeconds() const { return staleAfter_; }
    // From now on; a sensor already stale stays so until its next good read.
    void setStaleAfter(int seconds);

    // Over every source of the run, those a reload removed included.
    [[nodiscard]] quint64 sweeps() const { return total(&SourceState::sweeps); }
    [[nodiscard]] quint64 recordsWritten() const { return total(&SourceState::recordsWritten); }
    [[nodiscard]] quint64 recordsLost() const { return total(&SourceState::recordsLost); }

    [[nodiscard]] const MqttLink& mqtt() const { return mqtt_; }
    MqttLink& mqtt() { return mqtt_; }
    // The outputs that write the samples elsewhere, in the configuration's order.
    [[nodiscard]] const QList<OutputLink>& outputs() const { return outputs_; }
    QList<OutputLink>& outputs() { return outputs_; }

    void onRead(const QString& source, const acquisition::SensorReading& reading);
    void onSweep(const QString& source, const acquisition::SweepReport& sweep);
    // The log's facts arrive apart from the sweep: its records are written on their own thread.
    void onLogOutcome(const QString& source, const LogOutcome& outcome);
    // The source could not list its sensors: true for the first failure since it last listed them.
    bool onListFailed(const QString& source, const QString& reason, const QDateTime& when);
    void onListed(const QString& source);

    // The stale check's timer and clock: a test's own, fired by hand, for the real ones.
    void setStaleTimer(std::unique_ptr<runtime::Timer> timer);
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }

signals:
    void sensorChanged(const quorvel::service::SensorState& sensor,
                       const quorvel::acquisition::SensorReading& reading);
    void sweepTaken(const quorvel::service::SourceState& source,
                    const quorvel::acquisition::SweepReport& sweep);
    // The sensor's alarm state changed; its alarm says to what and since when.
    void alarmChanged(const quorvel::service::SensorState& sensor, quorvel::service::AlarmState previous);
    // The source stopped or began answering (its reachability says which). byReads: its reads say so, which
    // the journal tells; else a listing failed or succeeded, which tells its own.
    void reachabilityChanged(const quorvel::service::SourceState& source, bool byReads);
    // Its state is gone; an outage of its own with it.
    void sourceRemoved(const QString& source);

private:
    [[nodiscard]] quint64 total(quint64 SourceState::*count) const;
    // Keeps the alarms and the counts of the source as removeSource() does, and drops its state.
    void retire(const QString& name);

    // Makes stale every sensor silent for the stale time as of now, and waits for the next one due: the one
    // place a sensor becomes stale.
    void checkStale();
    void changed(SensorState& sensor, AlarmState previous) { emit alarmChanged(sensor, previous); }

    int staleAfter_;
    bool keepHistory_;
    std::vector<std::unique_ptr<SourceState>> sources_;
    MqttLink mqtt_;
    QList<OutputLink> outputs_;
    std::unique_ptr<runtime::Timer> staleTimer_;
    std::function<QDateTime()> clock_ = [] { return QDateTime::currentDateTime(); };
    // The alarms of a source that stopped, by ROM code, until the next source of its name.
    std::map<QString, QMap<QString, SensorAlarm>> retired_;
    // The counts of every source removed so far, for the totals.
    SourceState removed_;
};

} // namespace quorvel::service
