#pragma once

#include "logsession.h"
#include "acquisition/sweeprecorder.h"

#include <QDateTime>
#include <QLocale>

#include <functional>

namespace quorvel::acquisition {

// Turns each sweep's readings into a log line (with the time from its clock and the numbers and dates of
// its locale) and writes it through the log session: the one recorder of the window and the service.
class LogRecorder final : public SweepRecorder {
public:
    using Clock = std::function<QDateTime()>;

    explicit LogRecorder(LogSession& session, QLocale locale = QLocale(),
                         Clock clock = &QDateTime::currentDateTime);

    [[nodiscard]] bool loggingActive() const override { return session_.LoggingActive() != 0; }
    runtime::Error writeRecord(const SensorReadings& readings) override;
    // The session's report of losses and new files (it stays until the next open).
    [[nodiscard]] QString notice() const override { return session_.report(); }
    [[nodiscard]] qint64 lostRecords() const override { return session_.lostRecords(); }

    [[nodiscard]] const QLocale& locale() const { return locale_; }

private:
    LogSession& session_;
    QLocale locale_;
    Clock clock_;
};

} // namespace quorvel::acquisition
