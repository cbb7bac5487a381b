#include "logrecorder.h"

#include "logrecord.h"

#include <utility>

namespace quorvel::acquisition {

LogRecorder::LogRecorder(LogSession& session, QLocale locale, Clock clock)
    : session_(session), locale_(std::move(locale)), clock_(std::move(clock))
{
}

runtime::Error LogRecorder::writeRecord(const SensorReadings& readings)
{
    return session_.writeRecord(encodeLogLine(composeLogRecord(clock_(), readings, locale_)));
}

} // namespace quorvel::acquisition
