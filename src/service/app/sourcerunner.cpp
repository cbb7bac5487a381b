#include "service/app/sourcerunner.h"

#include "service/outputs/servicelog.h"
#include "service/state/historyfill.h"
#include "service/state/statestore.h"

#include <algorithm>

namespace quorvel::service {

namespace {

std::unique_ptr<ServiceLog> makeLog(const QString& logPath, const QLocale& locale,
                                    const runtime::MessageSink& messages)
{
    if (logPath.isEmpty())
        return nullptr;
    const QString path =
        logPath == QLatin1String(StandardOutputLog) ? QStringLiteral("/dev/stdout") : logPath;
    return std::make_unique<ServiceLog>(path, locale, messages);
}

} // namespace

SourceRunner::SourceRunner(SourceConfig config, std::unique_ptr<acquisition::PageComponent> page,
                           StateStore& store, const QLocale& locale, runtime::MessageSink messages,
                           QObject* parent)
    : QObject(parent), config_(std::move(config)), page_(std::move(page)), store_(store),
      log_(makeLog(config_.logPath, locale, messages)), cycle_(*page_, nullptr, log_.get()),
      reachability_(int(config_.polled().size()), std::move(messages))
{
    cycle_.setSensors(config_.polled());
    store_.addSource(config_.name, config_.kind, config_.address, cycle_.sensors(), config_.logPath,
                     QDateTime::currentDateTime(), config_.settings);
    // Calibrated before the store, the log and every output see it; without an offset nothing is touched.
    QList<double> offsets;
    for (const acquisition::ListedSensor& sensor : cycle_.sensors())
        offsets << config_.settings.value(sensor.romCode).offset;
    if (std::any_of(offsets.begin(), offsets.end(), [](double offset) { return offset != 0; }))
        cycle_.setValueTransform(
            [offsets](int slot, float read) { return float(double(read) + offsets.value(slot)); });

    // The cycle's events go to the store under this source's name, and only the store's to the outputs.
    using acquisition::AcquisitionCycle;
    const QString name = config_.name;
    connect(&cycle_, &AcquisitionCycle::sensorRead, this,
            [this, name](const acquisition::SensorReading& reading) { store_.onRead(name, reading); });
    connect(&cycle_, &AcquisitionCycle::sensorRead, &reachability_, &AdapterReachability::onRead);
    connect(&cycle_, &AcquisitionCycle::sweepCompleted, this,
            [this, name](const acquisition::SweepReport& sweep) { store_.onSweep(name, sweep); });
    connect(&reachability_, &AdapterReachability::unreachable, this,
            [this, name](const QString&, const QString& reason, const QDateTime& since) {
                store_.onUnreachable(name, reason, since);
            });
    connect(&reachability_, &AdapterReachability::reachableAgain, this,
            [this, name] { store_.onReachableAgain(name); });
}

SourceRunner::~SourceRunner()
{
    cycle_.stop();
    if (log_)
        log_->close();
    store_.removeSource(config_.name);
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
    SourceState* source = store_.source(config_.name);
    if (log_ && source && source->history.sensorCount() > 0 &&
        config_.logPath != QLatin1String(StandardOutputLog))
        fillHistoryFromLog(source->history, log_->path(), locale, QDateTime::currentDateTime());
}

void SourceRunner::start()
{
    cycle_.start(config_.address);
}

void SourceRunner::stop()
{
    // The event loop only gets here between records, so every record is whole.
    cycle_.stop();
    if (log_)
        log_->close();
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
