#include "service/state/statestore.h"

#include <algorithm>
#include <limits>

namespace quorvel::service {

StateStore::StateStore(int staleAfterSeconds, bool keepHistory, QObject* parent)
    : QObject(parent), staleAfter_(staleAfterSeconds), keepHistory_(keepHistory)
{
    setStaleTimer(std::make_unique<runtime::PreciseTimer>());
}

void StateStore::setStaleTimer(std::unique_ptr<runtime::Timer> timer)
{
    staleTimer_ = std::move(timer);
    connect(staleTimer_.get(), &runtime::Timer::timeout, this, &StateStore::checkStale);
    checkStale();
}

StateStore::~StateStore() = default;

SourceState& StateStore::addSource(const QString& name, const acquisition::SourceKind& kind,
                                   const QString& address, const QList<acquisition::ListedSensor>& sensors,
                                   const QString& logPath, const QDateTime& started,
                                   const SensorSettingsMap& settings)
{
    SourceReachability reachability(int(sensors.size()));
    std::optional<bool> bulkConversion; // the bus tells it again only when it changes
    BusHealth health;                   // the bus's, whatever sensors it lists
    if (const SourceState* listed = source(name)) {
        bulkConversion = listed->bulkConversion;
        health = listed->health;
        reachability = listed->reachability;
        reachability.setSensorCount(int(sensors.size()));
        retire(name);
    }
    auto retired = retired_.extract(name);
    const QMap<QString, SensorAlarm> before = retired ? retired.mapped() : QMap<QString, SensorAlarm>();
    auto source = std::make_unique<SourceState>();
    source->name = name;
    source->kind = QLatin1String(kind.name);
    source->noun = QLatin1String(kind.noun);
    source->model = QLatin1String(kind.model);
    source->address = address;
    source->logPath = logPath;
    source->started = started;
    source->reachability = reachability;
    source->bulkConversion = bulkConversion;
    source->health = std::move(health);
    source->history = SensorHistory(keepHistory_ ? int(sensors.size()) : 0);
    source->sensors.reserve(std::size_t(sensors.size()));
    for (qsizetype i = 0; i < sensors.size(); ++i) {
        SensorState sensor;
        sensor.source = name;
        sensor.slot = int(i);
        sensor.romCode = sensors[i].romCode;
        sensor.id = acquisition::shownId(kind, sensor.romCode);
        sensor.name = sensors[i].name;
        sensor.alarm = SensorAlarm(settings.value(sensor.romCode), started);
        if (const auto kept = before.find(sensor.romCode);
            kept != before.end() && kept->settings() == sensor.alarm.settings())
            sensor.alarm = *kept;
        source->sensors.push_back(std::move(sensor));
    }
    sources_.push_back(std::move(source));
    if (!staleTimer_->isActive())
        checkStale();
    return *sources_.back();
}

void StateStore::removeSource(const QString& name)
{
    if (!source(name))
        return;
    retire(name);
    emit sourceRemoved(name);
}

void StateStore::retire(const QString& name)
{
    if (const SourceState* gone = source(name)) {
        QMap<QString, SensorAlarm>& alarms = retired_[name];
        for (const SensorState& sensor : gone->sensors)
            alarms.insert(sensor.romCode, sensor.alarm);
        removed_.sweeps += gone->sweeps;
        removed_.recordsWritten += gone->recordsWritten;
        removed_.recordsLost += gone->recordsLost;
    }
    std::erase_if(sources_, [&name](const auto& source) { return source->name == name; });
}

SourceState* StateStore::source(const QString& name) const
{
    const auto found = std::find_if(sources_.begin(), sources_.end(),
                                    [&name](const auto& source) { return source->name == name; });
    return found == sources_.end() ? nullptr : found->get();
}

int StateStore::sensorCount() const
{
    int count = 0;
    for (const auto& source : sources_)
        count += int(source->sensors.size());
    return count;
}

namespace {

// Since when a sensor had no good read: its last one, or its source's start for one never read.
const QDateTime& silentSince(const SensorState& sensor, const SourceState* source)
{
    return sensor.lastSuccess.isValid() || !source ? sensor.lastSuccess : source->started;
}

} // namespace

void StateStore::setStaleAfter(int seconds)
{
    staleAfter_ = seconds;
    checkStale();
}

void StateStore::checkStale()
{
    const QDateTime now = clock_();
    qint64 nextMs = std::numeric_limits<int>::max();
    bool waiting = false;
    for (const auto& source : sources_)
        for (SensorState& sensor : source->sensors) {
            if (sensor.stale)
                continue;
            const QDateTime due = silentSince(sensor, source.get()).addSecs(staleAfter_);
            const AlarmState previous = sensor.alarm.state();
            if (due <= now) {
                sensor.stale = true;
                // An alarm kept from before the source's restart may be stale already.
                if (sensor.alarm.onSilent(due))
                    changed(sensor, previous);
                continue;
            }
            // A good read since only moves the time further: the timer then fires early and waits again.
            nextMs = std::min(nextMs, now.msecsTo(due));
            waiting = true;
        }
    if (waiting)
        staleTimer_->start(int(std::max<qint64>(nextMs, 1)));
    else
        staleTimer_->stop();
}

quint64 StateStore::total(quint64 SourceState::*count) const
{
    quint64 sum = removed_.*count;
    for (const auto& source : sources_)
        sum += (*source).*count;
    return sum;
}

void StateStore::onRead(const QString& sourceName, const acquisition::SensorReading& reading)
{
    SourceState* source = this->source(sourceName);
    if (!source || reading.slot < 0 || std::size_t(reading.slot) >= source->sensors.size())
        return;
    SensorState& sensor = source->sensors[std::size_t(reading.slot)];
    const bool good = sensor.take(reading);
    if (good && source->history.sensorCount() > 0)
        source->history.add(reading.slot, reading.when, reading.value);
    if (good)
        sensor.stale = false;
    const AlarmState previous = sensor.alarm.state();
    const bool alarmMoved = good && sensor.alarm.onGood(reading.value, reading.when);
    const bool answered = source->reachability.answers();
    source->reachability.onRead(reading);
    emit sensorChanged(sensor, reading);
    if (alarmMoved)
        changed(sensor, previous);
    if (answered != source->reachability.answers())
        emit reachabilityChanged(*source, true);
    // A sensor back from stale is watched again.
    if (good && !staleTimer_->isActive())
        checkStale();
}

void StateStore::onSweep(const QString& sourceName, const acquisition::SweepReport& sweep)
{
    SourceState* source = this->source(sourceName);
    if (!source)
        return;
    ++source->sweeps;
    source->sweepOverruns += sweep.overran ? 1 : 0;
    for (std::size_t i = 0; i < source->sensors.size() && qsizetype(i) < sweep.readings.size(); ++i) {
        SensorState& sensor = source->sensors[i];
        if (sensor.lastSuccess.isValid())
            sensor.recorded = sweep.readings[qsizetype(i)];
    }
    emit sweepTaken(*source, sweep);
}

void StateStore::onLogOutcome(const QString& sourceName, const LogOutcome& outcome)
{
    SourceState* source = this->source(sourceName);
    if (!source)
        return;
    if (outcome.written)
        ++source->recordsWritten;
    source->recordsLost += quint64(std::max<qint64>(outcome.lost, 0));
    source->logNotice = outcome.notice;
    source->logStalledSince = outcome.stalledSince;
}

bool StateStore::onListFailed(const QString& sourceName, const QString& reason, const QDateTime& when)
{
    SourceState* source = this->source(sourceName);
    if (!source)
        return false;
    const bool reachable = source->reachable();
    const bool first = source->reachability.onListFailed(reason, when);
    if (reachable != source->reachable())
        emit reachabilityChanged(*source, false);
    return first;
}

void StateStore::onListed(const QString& sourceName)
{
    SourceState* source = this->source(sourceName);
    if (!source)
        return;
    const bool reachable = source->reachable();
    source->reachability.onListed();
    if (reachable != source->reachable())
        emit reachabilityChanged(*source, false);
}

} // namespace quorvel::service
