#include "logrecorder.h"

#include "logrecord.h"

#include <utility>

namespace quorvel::acquisition {

LogRecorder::LogRecorder(LogSession& session, QLocale locale, Clock clock)
    : session_(session), locale_(std::move(locale)), clock_(std::move(clock))
{
}

std::optional<QString> LogRecorder::writeRecord(const SensorReadings& readings)
{
    const QString line = composeLogRecord(clock_(), readings, locale_);
    const auto error = session_.writeRecord(encodeLogLine(line));
    if (QString report = session_.report(); !report.isEmpty())
        return report;
    return error;
}

} // namespace quorvel::acquisition
