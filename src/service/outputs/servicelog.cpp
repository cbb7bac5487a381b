#include "service/outputs/servicelog.h"

namespace quorvel::service {

ServiceLog::ServiceLog(QString path, const QLocale& locale, runtime::MessageSink messages)
    : path_(std::move(path)), messages_(std::move(messages)), recorder_(session_, locale)
{
}

runtime::Error ServiceLog::open()
{
    return session_.open(path_);
}

void ServiceLog::reopen()
{
    if (auto error = session_.open(path_)) {
        // The session is closed now: the next record tries the path again.
        messages_(QStringLiteral("cannot reopen the log: %1").arg(error->reason));
        return;
    }
    newFileNoted_ = {};
}

runtime::Error ServiceLog::writeRecord(const acquisition::SensorReadings& readings)
{
    if (!session_.isOpen()) {
        if (runtime::Error error = session_.open(path_)) {
            ++lost_;
            noteWrite(false, error->reason);
            return error;
        }
    }
    const qint64 lostBefore = session_.lostRecords();
    auto error = recorder_.writeRecord(readings);
    const qint64 lost = session_.lostRecords() - lostBefore;
    lost_ += lost;
    const QString notice = recorder_.notice();
    noteWrite(lost <= 0, notice.isEmpty() && error ? error->reason : notice);
    return error;
}

// Failures are told once, when they begin, and the recovery once; a new file once per move.
void ServiceLog::noteWrite(bool written, const QString& said)
{
    if (!written && !writeFailing_)
        messages_(QStringLiteral("cannot write the log; retrying at each sweep: %1").arg(said));
    else if (written && writeFailing_)
        messages_(QStringLiteral("the log is written again: %1").arg(session_.report()));
    writeFailing_ = !written;
    const QDateTime started = session_.newFileStarted();
    if (written && started.isValid() && started != newFileNoted_) {
        newFileNoted_ = started;
        messages_(QStringLiteral("the log file was moved or deleted; a new one was started: %1").arg(path_));
    }
}

} // namespace quorvel::service
