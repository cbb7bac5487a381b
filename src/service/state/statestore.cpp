#include "service/state/statestore.h"

#include <algorithm>

namespace quorvel::service {

StateStore::StateStore(int staleAfterSeconds, bool keepHistory, QObject* parent)
    : QObject(parent), staleAfter_(staleAfterSeconds), keepHistory_(keepHistory)
{
}

StateStore::~StateStore() = default;

SourceState& StateStore::addSource(const QString& name, const QString& kind, const QString& address,
                                   const QList<acquisition::ListedSensor>& sensors, const QString& logPath,
                                   const QDateTime& started)
{
    auto source = std::make_unique<SourceState>();
    source->name = name;
    source->kind = kind;
    source->address = address;
    source->logPath = logPath;
    source->started = started;
    source->history = SensorHistory(keepHistory_ ? int(sensors.size()) : 0);
    source->sensors.reserve(std::size_t(sensors.size()));
    for (qsizetype i = 0; i < sensors.size(); ++i) {
        SensorState sensor;
        sensor.source = name;
        sensor.slot = int(i);
        sensor.romCode = sensors[i].romCode;
        sensor.name = sensors[i].name;
        source->sensors.push_back(std::move(sensor));
    }
    sources_.push_back(std::move(source));
    return *sources_.back();
}

void StateStore::removeSource(const QString& name)
{
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

bool StateStore::isStale(const SensorState& sensor, const QDateTime& now) const
{
    const SourceState* from = source(sensor.source);
    const QDateTime& since = sensor.lastSuccess.isValid() || !from ? sensor.lastSuccess : from->started;
    return !since.isValid() || since.secsTo(now) >= staleAfter_;
}

quint64 StateStore::sweeps() const
{
    quint64 sum = 0;
    for (const auto& source : sources_)
        sum += source->sweeps;
    return sum;
}

quint64 StateStore::recordsWritten() const
{
    quint64 sum = 0;
    for (const auto& source : sources_)
        sum += source->recordsWritten;
    return sum;
}

quint64 StateStore::recordsLost() const
{
    quint64 sum = 0;
    for (const auto& source : sources_)
        sum += source->recordsLost;
    return sum;
}

void StateStore::onRead(const QString& sourceName, const acquisition::SensorReading& reading)
{
    SourceState* source = this->source(sourceName);
    if (!source || reading.slot < 0 || std::size_t(reading.slot) >= source->sensors.size())
        return;
    SensorState& sensor = source->sensors[std::size_t(reading.slot)];
    if (sensor.take(reading) && source->history.sensorCount() > 0)
        source->history.add(reading.slot, reading.when, reading.value);
    emit sensorChanged(sensor, reading);
}

void StateStore::onSweep(const QString& sourceName, const acquisition::SweepReport& sweep)
{
    SourceState* source = this->source(sourceName);
    if (!source)
        return;
    ++source->sweeps;
    for (std::size_t i = 0; i < source->sensors.size() && qsizetype(i) < sweep.readings.size(); ++i) {
        SensorState& sensor = source->sensors[i];
        if (sensor.lastSuccess.isValid())
            sensor.recorded = sweep.readings[qsizetype(i)];
    }
    if (sweep.recordWritten.value_or(false))
        ++source->recordsWritten;
    source->recordsLost += quint64(std::max<qint64>(sweep.recordsLost, 0));
    source->logNotice = sweep.logNotice;
    emit sweepTaken(*source, sweep);
}

void StateStore::onUnreachable(const QString& sourceName, const QString& reason, const QDateTime& since)
{
    if (SourceState* source = this->source(sourceName)) {
        source->unreachableSince = since;
        source->unreachableReason = reason;
    }
}

void StateStore::onReachableAgain(const QString& sourceName)
{
    if (SourceState* source = this->source(sourceName)) {
        source->unreachableSince = {};
        source->unreachableReason.clear();
    }
}

} // namespace quorvel::service
