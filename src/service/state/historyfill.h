#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace quorvel::service {

class SensorHistory;

// Fills the day's history from the end of the service's own log, so a restart keeps the charts. A log of
// months is not read whole: the end is read in growing windows until one starts before the day, at most
// MaxTailBytes. Lines of another count of readings (another sensor list) are passed over. The records
// found, or -1 when the file cannot be read.
inline constexpr qint64 MaxTailBytes = 64LL * 1024 * 1024;
qint64 fillHistoryFromLog(SensorHistory& history, const QString& path, const QLocale& locale,
                          const QDateTime& now, qint64 maxBytes = MaxTailBytes);

} // namespace quorvel::service
