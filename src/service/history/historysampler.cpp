#include "service/history/historysampler.h"

#include "service/state/statestore.h"

#include "runtime/conversions.h"

#include <QLocale>

#include <algorithm>

namespace quorvel::service::history {

namespace {

// The grid's timer fires this late, so the clock has surely passed the boundary.
constexpr qint64 BoundaryGraceMs = 20;

QString reachabilityLabel(bool reachable)
{
    return reachable ? QStringLiteral("reachable") : QStringLiteral("unreachable");
}

} // namespace

HistorySampler::HistorySampler(int sampleInterval, QObject* parent)
    : QObject(parent), interval_(std::max(sampleInterval, 0))
{
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &HistorySampler::onTimer);
    arm();
}

HistorySampler::~HistorySampler() = default;

void HistorySampler::watch(const StateStore& state)
{
    connect(&state, &StateStore::sensorChanged, this, &HistorySampler::onRead);
    connect(&state, &StateStore::sweepTaken, this, [this](const SourceState& source) { onSweep(source); });
    connect(&state, &StateStore::alarmChanged, this, &HistorySampler::onAlarm);
    connect(&state, &StateStore::reachabilityChanged, this, &HistorySampler::onReachability);
}

void HistorySampler::setClock(std::function<QDateTime()> clock)
{
    clock_ = std::move(clock);
    arm();
}

qint64 HistorySampler::intervalOf(qint64 time) const
{
    return interval_ > 0 ? time - time % interval_ : time;
}

void HistorySampler::onRead(const SensorState& sensor, const acquisition::SensorReading& reading)
{
    if (sensor.romCode.isEmpty())
        return;
    const qint64 time = now();
    if (interval_ > 0 && !sums_.isEmpty() && intervalOf(time) != intervalStart_)
        handOver();
    if (sums_.isEmpty())
        intervalStart_ = intervalOf(time);
    auto found = sums_.find(sensor.romCode);
    if (found == sums_.end()) {
        found = sums_.insert(sensor.romCode, {});
        found->row.time = intervalOf(time);
        found->row.romCode = sensor.romCode;
    }
    SampleRow& row = found->row;
    row.source = sensor.source;
    row.name = sensor.displayName();
    ++row.reads;
    if (reading.outcome != acquisition::ReadOutcome::Ok) {
        ++row.failures[std::size_t(reading.outcome)];
        return;
    }
    const double value = reading.value;
    row.last = value;
    row.raw = double(reading.raw.value_or(reading.value));
    row.min = std::min(row.min.value_or(value), value);
    row.max = std::max(row.max.value_or(value), value);
    found->total += value;
    addToDay(sensor.romCode, value, time);
}

void HistorySampler::onSweep(const SourceState&)
{
    if (interval_ != 0)
        return;
    if (const qint64 second = now(); second != handedOverAt_) {
        handedOverAt_ = second;
        handOver();
    } else if (!timer_.isActive()) {
        const qint64 nowMs = clock_().toMSecsSinceEpoch();
        timer_.start(
            int(std::clamp<qint64>(1000 - nowMs % 1000 + BoundaryGraceMs, 1, 1000 + BoundaryGraceMs)));
    }
}

void HistorySampler::onAlarm(const SensorState& sensor, AlarmState previous)
{
    const AlarmState state = sensor.alarm.state();
    const std::optional<float> value = state == AlarmState::Stale ? sensor.goodValue : sensor.alarm.value();
    events_ << EventRow{now(),
                        EventRow::Kind::Alarm,
                        sensor.source,
                        sensor.romCode,
                        alarmLabel(previous),
                        alarmLabel(state),
                        value ? runtime::singleToText(*value, QLocale::c()) : QString()};
}

void HistorySampler::onReachability(const SourceState& source, bool byReads)
{
    const bool reachable = byReads ? source.reachability.answers() : source.reachable();
    events_ << EventRow{now(),
                        EventRow::Kind::Reachability,
                        source.name,
                        {},
                        reachabilityLabel(!reachable),
                        reachabilityLabel(reachable),
                        reachable ? QString() : source.reachability.reason()};
}

void HistorySampler::flush()
{
    handOver();
}

void HistorySampler::handOver()
{
    Batch batch;
    for (const Sum& sum : std::as_const(sums_)) {
        SampleRow row = sum.row;
        if (row.good() > 0)
            row.mean = sum.total / row.good();
        batch.samples << row;
    }
    sums_.clear();
    batch.events = std::exchange(events_, {});
    batch.wholeBefore = intervalOf(now());
    if (!batch.isEmpty())
        emit batchReady(batch);
}

void HistorySampler::arm()
{
    if (interval_ == 0)
        return;
    const qint64 nowMs = clock_().toMSecsSinceEpoch();
    const qint64 start = sums_.isEmpty() ? intervalOf(nowMs / 1000) : intervalStart_;
    const qint64 waitMs = (start + interval_) * 1000 - nowMs + BoundaryGraceMs;
    timer_.start(int(std::clamp<qint64>(waitMs, 1, qint64(interval_) * 1000 + BoundaryGraceMs)));
}

void HistorySampler::onTimer()
{
    if (interval_ == 0) {
        handedOverAt_ = now();
        handOver();
        return;
    }
    if (intervalOf(now()) != intervalStart_)
        handOver();
    arm();
}

void HistorySampler::seedDay(const QDate& day, const QHash<QString, DayStats>& stats)
{
    setDay(day);
    for (auto it = stats.begin(); it != stats.end(); ++it)
        daySums_.insert(it.key(), {it->min, it->max, it->mean * double(it->good), it->good});
}

void HistorySampler::addToDay(const QString& romCode, double value, qint64 time)
{
    if (!inDay(time))
        setDay(QDateTime::fromSecsSinceEpoch(time).date());
    DaySum& sum = daySums_[romCode];
    sum.min = sum.good > 0 ? std::min(sum.min, value) : value;
    sum.max = sum.good > 0 ? std::max(sum.max, value) : value;
    sum.total += value;
    ++sum.good;
}

void HistorySampler::setDay(const QDate& day)
{
    day_ = day;
    dayFrom_ = QDateTime(day, QTime(0, 0)).toSecsSinceEpoch();
    dayTo_ = QDateTime(day.addDays(1), QTime(0, 0)).toSecsSinceEpoch();
    daySums_.clear();
}

std::optional<DayStats> HistorySampler::today(const QString& romCode) const
{
    const auto found = daySums_.constFind(romCode);
    if (found == daySums_.constEnd() || found->good == 0 || !inDay(now()))
        return std::nullopt;
    return DayStats{found->min, found->max, found->total / double(found->good), found->good};
}

} // namespace quorvel::service::history
