#include "service/app/sourcerunner.h"

#include "service/app/busrecovery.h"
#include "service/app/checksconfig.h"

#include "service/history/historystore.h"
#include "service/outputs/journal/servicelog.h"
#include "service/state/historyfill.h"
#include "service/state/statestore.h"

#include "runtime/conversions.h"

#include <algorithm>
#include <utility>

namespace quorvel::service {

namespace {

std::unique_ptr<ServiceLog> makeLog(const QString& logPath, const QLocale& locale,
                                    const runtime::MessageSink& messages)
{
    if (logPath.isEmpty())
        return nullptr;
    const bool standardOutput = logPath == QLatin1String(StandardOutputLog);
    return std::make_unique<ServiceLog>(standardOutput ? QStringLiteral("/dev/stdout") : logPath,
                                        standardOutput, locale, messages);
}

} // namespace

QString reachabilityNotice(const SourceState& source)
{
    const QString& noun = source.noun;
    return source.reachability.answers()
               ? QStringLiteral("the %1 at %2 answers again").arg(noun, source.address)
               : QStringLiteral("the %1 at %2 is unreachable: %3")
                     .arg(noun, source.address, source.reachability.reason());
}

SourceRunner::SourceRunner(SourceConfig config, SourceInput input, StateStore& store, const QLocale& locale,
                           runtime::MessageSink messages, QObject* parent)
    : QObject(parent), config_(std::move(config)), input_(std::move(input)), store_(store),
      messages_(std::move(messages)), log_(makeLog(config_.logPath, locale, messages_)),
      cycle_(std::make_unique<acquisition::AcquisitionCycle>(*input_.reader, nullptr))
{
    recovery_ =
        std::make_unique<BusRecovery>(config_.name, config_.recovery, *input_.reader, store_, messages_);
    cycle_->setSweepIntervalMs(config_.intervalSeconds * 1000);
    useSensors(config_.polled());

    // The cycle's events go to the store under this source's name, and only the store's to the outputs.
    using acquisition::AcquisitionCycle;
    const QString name = config_.name;
    if (log_) {
        // Handed to the log before the store takes the sweep, whose listeners may stop the service.
        connect(cycle_.get(), &AcquisitionCycle::sweepCompleted, log_.get(),
                [this](const acquisition::SweepReport& sweep) {
                    log_->write(sweep.readings, sweep.when);
                    // Paced by its disk while it keeps up: a record is never lost to a source that is faster.
                    if (log_->holdsSweeps())
                        cycle_->hold();
                });
        connect(log_.get(), &ServiceLog::released, cycle_.get(), &acquisition::AcquisitionCycle::resume);
        connect(log_.get(), &ServiceLog::recorded, this,
                [this, name](const LogOutcome& outcome) { store_.onLogOutcome(name, outcome); });
    }
    connect(cycle_.get(), &AcquisitionCycle::sensorRead, this,
            [this, name](const acquisition::SensorReading& reading) {
                store_.onRead(name, reading);
                const bool good = reading.outcome == acquisition::ReadOutcome::Ok;
                if (SourceState* source = store_.source(name))
                    source->health.failures.add(reading.when, !good);
                recovery_->onRead(good);
            });
    connect(cycle_.get(), &AcquisitionCycle::sweepCompleted, this,
            [this, name](const acquisition::SweepReport& sweep) {
                store_.onSweep(name, sweep);
                // A power cycle set each sensor back to the resolution its EEPROM holds: the sensors are
                // handed to the reader again, which sets them up before the next sweep.
                if (std::exchange(setUpAgain_, false) && running_)
                    cycle_->start(config_.address);
            });
    connect(recovery_.get(), &BusRecovery::readsAgain, this, [this] {
        const QList<std::optional<int>> bits = resolutions(config_, cycle_->sensors());
        setUpAgain_ =
            std::any_of(bits.begin(), bits.end(), [](const auto& wanted) { return wanted.has_value(); });
    });
    // What the reads say of the source is told; a failed listing tells its own.
    connect(&store_, &StateStore::reachabilityChanged, this, [this](const SourceState& source, bool byReads) {
        if (source.name == config_.name && byReads)
            messages_(reachabilityNotice(source));
    });

    using acquisition::SensorReader;
    connect(input_.reader.get(), &SensorReader::discovered, this, &SourceRunner::onFound);
    connect(input_.reader.get(), &SensorReader::discoveryFailed, this, &SourceRunner::onNotFound);
    connect(input_.reader.get(), &SensorReader::noticed, this, [this](const QString& text) {
        messages_(QStringLiteral("source %1: %2").arg(config_.name, text));
    });
    connect(input_.reader.get(), &SensorReader::bulkConversion, this, [this](bool on) {
        if (SourceState* source = store_.source(config_.name))
            source->bulkConversion = on;
        messages_(QStringLiteral("source %1: bulk conversion %2")
                      .arg(config_.name, on ? QStringLiteral("on: the bus converts all its sensors at once")
                                            : QStringLiteral("off: each sensor converts on its own read")));
    });
    connect(input_.reader.get(), &SensorReader::devicesFound, this, &SourceRunner::onDevicesFound);
    connect(input_.reader.get(), &SensorReader::described, this,
            [this](int slot, const acquisition::SensorFacts& facts) {
                SourceState* source = store_.source(config_.name);
                if (!source || slot < 0 || std::size_t(slot) >= source->sensors.size())
                    return;
                SensorState& sensor = source->sensors[std::size_t(slot)];
                // Told once, not again after each set-up that finds the same.
                if (!facts.problem.isEmpty() && facts.problem != sensor.facts.problem)
                    messages_(QStringLiteral("source %1: %2").arg(config_.name, facts.problem));
                if (facts.eepromWritten && facts.resolution)
                    messages_(QStringLiteral("source %1: sensor %2 keeps %3 bits in its EEPROM from now on")
                                  .arg(config_.name, sensor.id)
                                  .arg(*facts.resolution));
                sensor.facts = facts;
            });
    findAgain_.setSingleShot(true);
    findAgain_.setInterval(FindAgainMs);
    connect(&findAgain_, &QTimer::timeout, this, &SourceRunner::refresh);
    listAgain_.setInterval(ListEveryMs);
    connect(&listAgain_, &QTimer::timeout, this, &SourceRunner::listDevices);
}

SourceRunner::~SourceRunner()
{
    cycle_->stop();
    if (log_)
        log_->close();
    store_.removeSource(config_.name);
}

void SourceRunner::useSensors(const QList<acquisition::ListedSensor>& sensors)
{
    // The cycle's start hands the sensors to the reader, which applies the resolutions it holds by then.
    input_.reader->setResolutions(resolutions(config_, sensors), config_.sensorDefaults.saveResolution);
    cycle_->setSensors(sensors);
    cycle_->setPlausibility(acquisition::PlausibilityCheck(plausibilityBounds(config_, sensors)));
    // Listed again: its alarms come back for the sensors it still has.
    store_.addSource(config_.name, config_.sourceKind(), config_.address, sensors, config_.logPath,
                     QDateTime::currentDateTime(), config_.settings);
    // Calibrated before the store, the log and every output see it; without an offset nothing is touched.
    QList<double> offsets;
    for (const acquisition::ListedSensor& sensor : sensors)
        offsets << config_.settings.value(sensor.romCode).offset;
    if (std::any_of(offsets.begin(), offsets.end(), [](double offset) { return offset != 0; }))
        cycle_->setValueTransform(
            [offsets](int slot, float read) { return float(double(read) + offsets.value(slot)); });
    else
        cycle_->setValueTransform({});
}

std::optional<QString> SourceRunner::openLog()
{
    if (!log_)
        return std::nullopt;
    if (auto error = log_->open())
        return error->reason;
    return std::nullopt;
}

void SourceRunner::fillHistory(const QLocale& locale)
{
    historyLocale_ = locale;
    HistoryFillJob::drop(std::move(fill_)); // one for other sensors is stale
    SourceState* source = store_.source(config_.name);
    if (source && historyStore_) {
        fillFromStore(*source);
        return;
    }
    if (!log_ || !source || source->history.sensorCount() == 0 ||
        config_.logPath == QLatin1String(StandardOutputLog))
        return;
    // Read off the loop; what the sweeps add meanwhile is newer and stays.
    const int sensors = source->history.sensorCount();
    fill_ = std::make_unique<HistoryFillJob>(log_->path(), locale, QDateTime::currentDateTime(), sensors);
    connect(fill_.get(), &HistoryFillJob::filled, this, [this, sensors](const HistoryFill& fill) {
        if (SourceState* now = store_.source(config_.name); now && now->history.sensorCount() == sensors)
            now->history.merge(fill.history);
        fill_.release()->deleteLater();
    });
}

void SourceRunner::fillFromStore(SourceState& source)
{
    // Bounded reads (a day of minutes a sensor) on the loop: no thread is worth it. The range ends after the
    // current second, whose sample a stop a moment ago may have written.
    const qint64 now = QDateTime::currentSecsSinceEpoch() + 1;
    SensorHistory older(source.history.sensorCount());
    for (const SensorState& sensor : source.sensors)
        for (const history::HistoryReader::MinutePoint& point :
             historyStore_->reader().minutes(sensor.romCode, now - 24 * 3600, now))
            older.add(sensor.slot, QDateTime::fromSecsSinceEpoch(point.minute * 60), point.value);
    source.history.merge(older);
}

void SourceRunner::start()
{
    running_ = true;
    if (config_.findsSensors())
        refresh();
    else
        cycle_->start(config_.address);
    if (input_.reader->offers(acquisition::BusAction::Search)) {
        if (!config_.findsSensors())
            listDevices(); // a listing to find the sensors lists the devices too
        listAgain_.start();
    }
    recovery_->start();
}

void SourceRunner::listDevices()
{
    if (!running_)
        return;
    listings_.push_back(false);
    input_.reader->discover();
}

bool SourceRunner::answersFind()
{
    if (listings_.empty())
        return true;
    const bool find = listings_.front();
    listings_.pop_front();
    return find;
}

void SourceRunner::onDevicesFound(const QStringList& ids)
{
    SourceState* source = store_.source(config_.name);
    if (!source)
        return;
    BusHealth& health = source->health;
    health.devices = ids;
    health.searched = QDateTime::currentDateTime();
    health.ghosts.clear();
    for (const QString& id : ids)
        if (id.startsWith(QLatin1String("00"))) {
            health.ghosts << id;
            if (!ghostsTold_.contains(id)) {
                ghostsTold_.insert(id);
                messages_(QStringLiteral("source %1: %2").arg(config_.name, ghostsNotice({id})));
            }
        }
}

void SourceRunner::stop()
{
    // The log closes after the records it was handed; finishLog() waits for them.
    running_ = false;
    findAgain_.stop();
    listAgain_.stop();
    recovery_->stop();
    HistoryFillJob::drop(std::move(fill_));
    cycle_->stop();
    if (log_)
        log_->close();
}

void SourceRunner::finishLog(QDeadlineTimer deadline)
{
    if (log_)
        log_->finish(deadline);
}

void SourceRunner::refresh()
{
    if (running_ && config_.findsSensors()) {
        listings_.push_back(true);
        input_.reader->discover();
    }
}

void SourceRunner::onFound(const QStringList& romCodes)
{
    if (!answersFind() || !running_)
        return;
    if (romCodes.isEmpty()) {
        onNotFound(QStringLiteral("it shows no temperature sensor"));
        return;
    }
    store_.onListed(config_.name);
    // As many as a list may hold: the first found are polled, the rest told with them.
    const QStringList polled =
        romCodes.first(std::min<qsizetype>(romCodes.size(), acquisition::MaxListedSensors));
    QList<acquisition::ListedSensor> sensors;
    for (const QString& rom : polled)
        sensors.append({rom, {}});
    // A running cycle goes on by itself: every read it asks is answered, at the latest at its deadline.
    if (sensors == cycle_->sensors() && cycle_->isRunning())
        return;
    QStringList ids;
    for (const QString& rom : polled)
        ids << acquisition::shownId(config_.sourceKind(), rom);
    const QString count =
        polled.size() < romCodes.size()
            ? QStringLiteral("first %1 of the %2 sensors").arg(polled.size()).arg(romCodes.size())
            : runtime::countText(polled.size(), "sensor");
    messages_(QStringLiteral("source %1: polls the %2 the %3 shows: %4")
                  .arg(config_.name, count, QLatin1String(config_.sourceKind().noun),
                       ids.join(QStringLiteral(", "))));
    cycle_->stop();
    useSensors(sensors);
    if (historyLocale_)
        fillHistory(*historyLocale_);
    emit sensorsChanged(config_.name);
    cycle_->start(config_.address);
}

void SourceRunner::onNotFound(const QString& reason)
{
    if (!answersFind() || !running_)
        return;
    if (store_.onListFailed(config_.name, reason, QDateTime::currentDateTime()))
        messages_(
            QStringLiteral("source %1: cannot list the sensors of the %2 at %3: %4; trying again every %5 s")
                .arg(config_.name, QLatin1String(config_.sourceKind().noun), config_.address, reason)
                .arg(FindAgainMs / 1000));
    // A source that polls goes on with the sensors it had.
    findAgain_.start();
}

void SourceRunner::reopenLog()
{
    if (log_)
        log_->reopen();
}

QString SourceRunner::logText() const
{
    if (config_.logPath.isEmpty())
        return QStringLiteral("off");
    if (config_.logPath == QLatin1String(StandardOutputLog))
        return QStringLiteral("standard output");
    return config_.logPath;
}

} // namespace quorvel::service
