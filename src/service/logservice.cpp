#include "logservice.h"

#include "runtime/appinfo.h"

#include <QCoreApplication>
#include <QDateTime>

#include <algorithm>

#include <sysexits.h>

namespace quorvel::service {

namespace {

QString programVersion()
{
    return QStringLiteral("%1.%2.%3")
        .arg(runtime::AppInfo::major())
        .arg(runtime::AppInfo::minor())
        .arg(runtime::AppInfo::revision());
}

} // namespace

LogService::LogService(ServiceOptions options, QString adapterAddress, MessageSink messages, QObject* parent)
    : QObject(parent), options_(std::move(options)), adapter_(std::move(adapterAddress)),
      logPath_(options_.logPath == QLatin1String(StandardOutputLog) ? QStringLiteral("/dev/stdout")
                                                                    : options_.logPath),
      messages_(std::move(messages)),
      metrics_(romCodesToPoll(options_), sensorNames(options_), programVersion()),
      recorder_(session_, options_.locale), cycle_(page_, *this, *this)
{
    cycle_.setRomCodes(romCodesToPoll(options_));
    connect(&cycle_, &acquisition::AcquisitionCycle::sweepCompleted, this, &LogService::onSweepCompleted);
}

std::optional<int> LogService::start()
{
    if (!logPath_.isEmpty()) {
        if (auto error = session_.open(logPath_)) {
            messages_(QStringLiteral("cannot open the log: %1").arg(error->reason));
            return EX_CANTCREAT;
        }
    }
    QString metricsText = QStringLiteral("off");
    if (options_.metrics) {
        server_ = new MetricsServer([this] { return metrics_.exposition(); }, this);
        const auto bound = server_->listenOn(*options_.metrics);
        const QString where = QStringLiteral("%1:%2").arg(options_.metrics->address.toString());
        if (bound.port == 0) {
            messages_(QStringLiteral("cannot serve the metrics on %1: %2")
                          .arg(where.arg(options_.metrics->port), bound.error));
            session_.close();
            return EX_UNAVAILABLE;
        }
        metricsText = QStringLiteral("http://%1/metrics").arg(where.arg(bound.port));
    }
    messages_(QStringLiteral("started: adapter %1, %2 sensors, log %3, metrics %4")
                  .arg(adapter_, QString::number(metrics_.sensorCount()),
                       options_.logPath.isEmpty() ? QStringLiteral("off")
                       : options_.logPath == QLatin1String(StandardOutputLog)
                           ? QStringLiteral("standard output")
                           : options_.logPath,
                       metricsText));
    cycle_.start(adapter_);
    notifier_.ready();
    notifier_.status(QStringLiteral("Running; no sweep completed yet"));
    return std::nullopt;
}

void LogService::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    notifier_.stopping();
    // The event loop only gets here between records, so every record is whole.
    cycle_.stop();
    session_.close();
    emit finished(0);
}

void LogService::reopenLog()
{
    if (logPath_.isEmpty() || stopped_)
        return;
    if (auto error = session_.open(logPath_)) {
        // The session is closed now: the next record tries the path again.
        messages_(QStringLiteral("cannot reopen the log: %1").arg(error->reason));
        return;
    }
    newFileNoted_ = {};
}

void LogService::showPage(const acquisition::PageDocument* document)
{
    const bool answered = page_.lastLoadGotAnswer();
    metrics_.recordRead(cycle_.currentSlot(), classifyRead(document, answered), QDateTime::currentDateTime());
    // One sensor that never answers is the sensor's fault, counted in the metrics; the adapter counts as
    // unreachable once several requests in a row, to different sensors, got no answer at all.
    noAnswerRun_ = answered ? 0 : noAnswerRun_ + 1;
    const int threshold = std::min(UnreachableAfter, int(cycle_.table().SensorUrls.size()));
    if (adapterReachable_ && noAnswerRun_ >= threshold) {
        const auto* html = page_.htmlDocument();
        const QString reason =
            html && html->errorReason() ? *html->errorReason() : QStringLiteral("no answer");
        messages_(QStringLiteral("the adapter at %1 is unreachable: %2").arg(adapter_, reason));
        adapterReachable_ = false;
    } else if (!adapterReachable_ && answered) {
        messages_(QStringLiteral("the adapter at %1 answers again").arg(adapter_));
        adapterReachable_ = true;
    }
}

runtime::Error LogService::writeRecord(const acquisition::SensorReadings& readings)
{
    if (!session_.isOpen()) {
        if (runtime::Error error = session_.open(logPath_)) {
            metrics_.recordLogWrite(false);
            noteWrite(false, error->reason);
            return error;
        }
    }
    const qint64 lostBefore = session_.lostRecords();
    auto error = recorder_.writeRecord(readings);
    const qint64 lost = session_.lostRecords() - lostBefore;
    metrics_.recordLogWrite(lost <= 0, lost);
    const QString notice = recorder_.notice();
    noteWrite(lost <= 0, notice.isEmpty() && error ? error->reason : notice);
    return error;
}

QString LogService::notice() const
{
    return recorder_.notice();
}

// Failures are told once, when they begin, and the recovery once; a new file once per move.
void LogService::noteWrite(bool written, const QString& said)
{
    if (!written && !writeFailing_)
        messages_(QStringLiteral("cannot write the log; retrying at each sweep: %1").arg(said));
    else if (written && writeFailing_)
        messages_(QStringLiteral("the log is written again: %1").arg(session_.report()));
    writeFailing_ = !written;
    const QDateTime started = session_.newFileStarted();
    if (written && started.isValid() && started != newFileNoted_) {
        newFileNoted_ = started;
        messages_(
            QStringLiteral("the log file was moved or deleted; a new one was started: %1").arg(logPath_));
    }
}

void LogService::onSweepCompleted()
{
    metrics_.recordSweep(cycle_.table().Readings);
    notifier_.status(QStringLiteral("Last sweep at %1; %2 sweeps")
                         .arg(QDateTime::currentDateTime().toString(Qt::ISODate))
                         .arg(metrics_.sweeps()));
    if (options_.sweeps && metrics_.sweeps() >= quint64(*options_.sweeps))
        stop();
}

} // namespace quorvel::service
