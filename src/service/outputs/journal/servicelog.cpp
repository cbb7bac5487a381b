#include "service/outputs/journal/servicelog.h"

#include "logfile/logrecord.h"
#include "logfile/logsession.h"

#include "runtime/conversions.h"

namespace quorvel::service {

ServiceLog::ServiceLog(QString path, bool standardOutput, const QLocale& locale,
                       runtime::MessageSink messages, QObject* parent)
    : QObject(parent), path_(std::move(path)), locale_(locale), messages_(std::move(messages)),
      writer_(path_, standardOutput)
{
    writer_.setWake(
        [this] { QMetaObject::invokeMethod(this, &ServiceLog::takeResults, Qt::QueuedConnection); });
    stallCheck_.setSingleShot(true);
    stallCheck_.setInterval(StalledAfterMs);
    connect(&stallCheck_, &QTimer::timeout, this, &ServiceLog::onStallCheck);
}

ServiceLog::~ServiceLog()
{
    writer_.setWake({});
}

runtime::Error ServiceLog::open()
{
    return writer_.open();
}

void ServiceLog::write(const acquisition::SensorReadings& readings, const QDateTime& when)
{
    checkStalled();
    if (writer_.write(acquisition::encodeLogLine(acquisition::composeLogRecord(when, readings, locale_)))) {
        if (!stalledSince_.isValid())
            stallCheck_.start();
        return;
    }
    if (turnedAway_++ == 0)
        messages_(
            QStringLiteral("the log takes no more records: %1 wait for the file; the next are lost until "
                           "it takes them")
                .arg(LogWriter::Capacity));
    QStringList notice{stallNotice()};
    notice
        << QStringLiteral("%1 lost: the log's queue is full").arg(runtime::countText(turnedAway_, "record"));
    notice.removeAll(QString());
    emit recorded({false, 1, notice.join(QStringLiteral("; ")), stalledSince_});
}

QString ServiceLog::stallNotice() const
{
    if (!stalledSince_.isValid())
        return {};
    return QStringLiteral("a write has not returned since %1").arg(stalledSince_.toString(Qt::ISODate));
}

void ServiceLog::checkStalled()
{
    const QDateTime busySince = writer_.busySince();
    if (!busySince.isNull() && busySince.msecsTo(QDateTime::currentDateTime()) >= StalledAfterMs)
        markStalled();
}

void ServiceLog::onStallCheck()
{
    if (finished_ || writer_.idle())
        return;
    markStalled();
    emit released();
}

void ServiceLog::markStalled()
{
    if (stalledSince_.isValid())
        return; // one stall until the log has caught up
    const QDateTime busySince = writer_.busySince();
    stalledSince_ = busySince.isNull() ? QDateTime::currentDateTime() : busySince;
    messages_(QStringLiteral("a log write has not returned since %1; the records wait")
                  .arg(stalledSince_.toString(Qt::ISODate)));
    emit recorded({false, 0, stallNotice(), stalledSince_});
}

void ServiceLog::takeResults()
{
    if (finished_)
        return; // what is left was counted at the stop
    for (const LogWriter::Done& done : writer_.take()) {
        if (done.step == LogWriter::Step::Reopen) {
            if (done.error)
                messages_(QStringLiteral("cannot reopen the log: %1").arg(done.error->reason));
            else
                newFileNoted_ = {};
            continue;
        }
        const QString notice = done.notice.isEmpty() && done.error ? done.error->reason : done.notice;
        if (done.step == LogWriter::Step::Write)
            noteWrite(!done.error && done.lost == 0, notice, done.newFileStarted);
        emit recorded({done.step == LogWriter::Step::Write && !done.error, done.lost, notice, {}});
    }
    if (!writer_.idle())
        return;
    // Caught up: a stall and a full queue end here, not at the first write that returns, so a disk that
    // is merely slow is told once, not at every record.
    stallCheck_.stop();
    if (stalledSince_.isValid()) {
        messages_(QStringLiteral("the log write that began at %1 returned")
                      .arg(stalledSince_.toString(Qt::ISODate)));
        stalledSince_ = {};
    }
    if (turnedAway_ > 0)
        messages_(QStringLiteral("the log takes records again; %1 lost while its queue was full")
                      .arg(runtime::countText(turnedAway_, "record")));
    turnedAway_ = 0;
    emit released();
}

void ServiceLog::finish(QDeadlineTimer deadline)
{
    const qsizetype left = writer_.finish(deadline);
    takeResults();
    finished_ = true;
    if (left == 0)
        return;
    const QString lost = QStringLiteral("%1 lost at the stop: the log did not take them in time")
                             .arg(runtime::countText(left, "record"));
    messages_(lost);
    emit recorded({false, left, lost, stalledSince_});
}

// Failures are told once, when they begin, and the recovery once; a new file once per move.
void ServiceLog::noteWrite(bool written, const QString& said, const QDateTime& newFileStarted)
{
    if (!written && !writeFailing_)
        messages_(QStringLiteral("cannot write the log; retrying at each sweep: %1").arg(said));
    else if (written && writeFailing_)
        messages_(QStringLiteral("the log is written again: %1").arg(said));
    writeFailing_ = !written;
    if (written && newFileStarted.isValid() && newFileStarted != newFileNoted_) {
        newFileNoted_ = newFileStarted;
        messages_(QStringLiteral("the log file was moved or deleted; a new one was started: %1").arg(path_));
    }
}

} // namespace quorvel::service
