#include "service/state/historyfill.h"

#include "service/state/sensorhistory.h"

#include "acquisition/logrecord.h"

#include <QFile>

namespace quorvel::service {

namespace {

// One line of the tail without its line end.
std::optional<acquisition::LogRecord> recordAt(const QByteArray& tail, qsizetype from, qsizetype end,
                                               const QLocale& locale)
{
    if (end > from && tail.at(end - 1) == '\r')
        --end;
    if (end <= from)
        return std::nullopt;
    return acquisition::parseAnyLogRecord(QString::fromLocal8Bit(tail.mid(from, end - from)), locale);
}

} // namespace

qint64 fillHistoryFromLog(SensorHistory& history, const QString& path, const QLocale& locale,
                          const QDateTime& now, qint64 maxBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const qint64 size = file.size();
    const QDateTime dayAgo = now.addSecs(-qint64(SensorHistory::Minutes) * 60);
    qint64 window = std::min<qint64>(size, 1024 * 1024);
    QByteArray tail;
    for (;;) {
        if (!file.seek(size - window))
            return -1;
        tail = file.read(window);
        // The first line of a window that does not start the file may be cut; it is not read.
        const qsizetype firstLine = window < size ? tail.indexOf('\n') + 1 : 0;
        const qsizetype end = tail.indexOf('\n', firstLine);
        const auto first = end > firstLine ? recordAt(tail, firstLine, end, locale) : std::nullopt;
        if (window >= size || window >= maxBytes || (first && first->when < dayAgo))
            break;
        window = std::min({size, maxBytes, window * 4});
    }
    qint64 found = 0;
    qsizetype from = window < size ? tail.indexOf('\n') + 1 : 0;
    for (qsizetype end; from < tail.size() && (end = tail.indexOf('\n', from)) >= 0; from = end + 1) {
        const auto record = recordAt(tail, from, end, locale);
        if (!record || record->readings.size() != history.sensorCount() || record->when < dayAgo ||
            record->when > now)
            continue;
        for (qsizetype slot = 0; slot < record->readings.size(); ++slot)
            history.add(int(slot), record->when, record->readings[slot]);
        ++found;
    }
    return found;
}

} // namespace quorvel::service
