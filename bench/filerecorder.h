#pragma once

#include "logfile/logrecord.h"
#include "logfile/logsession.h"
#include "acquisition/sweeprecorder.h"

#include <QElapsedTimer>

namespace quorvel::bench {

// Logging on: each sweep's record is composed and written as the window does it, and the time spent in
// the write (with its flush, unless turned off) is summed.
class FileRecorder final : public acquisition::SweepRecorder {
public:
    explicit FileRecorder(bool sync) { session_.setSyncEachRecord(sync); }

    [[nodiscard]] runtime::Error open(const QString& path) { return session_.open(path); }
    [[nodiscard]] bool loggingActive() const override { return session_.LoggingActive() != 0; }
    runtime::Error writeRecord(const acquisition::SensorReadings& readings) override
    {
        const QByteArray line =
            acquisition::encodeLogLine(acquisition::composeLogRecord(QDateTime::currentDateTime(), readings));
        QElapsedTimer timer;
        timer.start();
        auto error = session_.writeRecord(line);
        writeNs_ += timer.nsecsElapsed();
        ++(error ? failed_ : written_);
        return error;
    }

    [[nodiscard]] quint64 written() const { return written_; }
    [[nodiscard]] quint64 failed() const { return failed_; }
    [[nodiscard]] double writeSeconds() const { return double(writeNs_) / 1e9; }

private:
    acquisition::LogSession session_;
    quint64 written_ = 0;
    quint64 failed_ = 0;
    qint64 writeNs_ = 0;
};

} // namespace quorvel::bench
