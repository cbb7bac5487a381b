#pragma once

#include "runtime/messagesink.h"

#include "acquisition/logrecorder.h"
#include "acquisition/logsession.h"
#include "acquisition/sweeprecorder.h"

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace quorvel::service {

// The service's log: the window's log session and recorder, opened by its path again on request (log
// rotation) or when a reopen left it closed, with each failure told once when it begins and the recovery
// once. The cycle hands it each sweep's readings.
class ServiceLog final : public acquisition::SweepRecorder {
public:
    // path is a file, or the device of standard output.
    ServiceLog(QString path, const QLocale& locale, runtime::MessageSink messages);

    [[nodiscard]] runtime::Error open();
    // Opens the path anew; a failure is told, and the next record tries again.
    void reopen();
    void close() { session_.close(); }
    [[nodiscard]] const QString& path() const { return path_; }

    [[nodiscard]] bool loggingActive() const override { return true; }
    runtime::Error writeRecord(const acquisition::SensorReadings& readings) override;
    [[nodiscard]] QString notice() const override { return recorder_.notice(); }
    [[nodiscard]] qint64 lostRecords() const override { return lost_; }

private:
    void noteWrite(bool written, const QString& said);

    QString path_;
    runtime::MessageSink messages_;
    acquisition::LogSession session_;
    acquisition::LogRecorder recorder_;
    qint64 lost_ = 0; // over the whole run: the session's count starts again at each open
    bool writeFailing_ = false;
    QDateTime newFileNoted_;
};

} // namespace quorvel::service
