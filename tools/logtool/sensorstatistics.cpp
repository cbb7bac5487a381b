#include "sensorstatistics.h"

#include "logfile/csvexport.h"
#include "runtime/conversions.h"

#include <QStringList>

#include <algorithm>

namespace quorvel::logtool {

namespace {

QString meanText(const SensorFigures& s, int decimals)
{
    return s.count > 0 ? QString::number(s.mean, 'f', decimals) : QString();
}

} // namespace

void StatisticsAccumulator::add(const acquisition::LogRecord& record)
{
    if (steps_.records() == 0)
        first_ = record.when;
    last_ = record.when;
    steps_.add(record.when.toMSecsSinceEpoch(), record.readings.size());
    if (sensors_.size() < record.readings.size())
        sensors_.resize(record.readings.size());
    for (qsizetype slot = 0; slot < record.readings.size(); ++slot) {
        Sensor& sensor = sensors_[slot];
        SensorFigures& s = sensor.figures;
        const float value = record.readings[slot];
        // The previous record that has this sensor: records of a narrower period do not count.
        if (s.count == 0) {
            s.minimum = s.maximum = value;
        } else {
            s.minimum = std::min(s.minimum, value);
            s.maximum = std::max(s.maximum, value);
            if (value != sensor.previous) {
                s.lastChange = record.when;
                s.unchangedRecords = 0;
            }
        }
        sensor.previous = value;
        ++s.count;
        ++s.unchangedRecords;
        sensor.sum += value;
        if (value == 85.0f)
            ++s.resetReadings;
    }
}

LogFigures StatisticsAccumulator::figures(qsizetype staleRecords, double gapFactor) const
{
    LogFigures figures;
    figures.records = steps_.records();
    figures.periods = steps_.periods(gapFactor);
    figures.first = first_;
    figures.last = last_;
    const qsizetype widest =
        sensors_.isEmpty() ? qsizetype(acquisition::LogRecord::ReadingCount) : sensors_.size();
    figures.sensors.resize(widest);
    for (qsizetype slot = 0; slot < widest; ++slot) {
        SensorFigures& s = figures.sensors[slot];
        if (slot < sensors_.size())
            s = sensors_.at(slot).figures;
        s.sensor = static_cast<int>(slot) + 1;
        if (s.count > 0)
            s.mean = sensors_.at(slot).sum / static_cast<double>(s.count);
        s.stale = s.count >= staleRecords && s.unchangedRecords >= staleRecords;
    }
    return figures;
}

LogFigures SensorStatistics::compute(const QList<acquisition::LogRecord>& records, qsizetype staleRecords,
                                     double gapFactor)
{
    StatisticsAccumulator accumulator;
    for (const acquisition::LogRecord& record : records)
        accumulator.add(record);
    return accumulator.figures(staleRecords, gapFactor);
}

QString SensorStatistics::table(const LogFigures& figures, qsizetype staleRecords, const QStringList& names)
{
    QString out;
    if (figures.records == 0) {
        out += QStringLiteral("No records.\n");
    } else {
        out += QStringLiteral("%1 in %2, %3 to %4\n")
                   .arg(runtime::countText(figures.records, "record"),
                        runtime::countText(figures.periods, "logging period"),
                        logfile::CsvExport::timestamp(figures.first),
                        logfile::CsvExport::timestamp(figures.last));
    }
    const bool named = !names.isEmpty();
    out += QStringLiteral("%1 %2 %3 %4 %5  %6 %7 %8  %9%10\n")
               .arg(QStringLiteral("sensor"), 6)
               .arg(QStringLiteral("count"), 8)
               .arg(QStringLiteral("min"), 10)
               .arg(QStringLiteral("max"), 10)
               .arg(QStringLiteral("mean"), 10)
               .arg(QStringLiteral("last change"), -25)
               .arg(QStringLiteral("unchanged"), 9)
               .arg(QStringLiteral("85s"), 6)
               .arg(QStringLiteral("note"), named ? -6 : 0)
               .arg(named ? QStringLiteral("  name") : QString());
    for (const SensorFigures& s : figures.sensors) {
        const bool any = s.count > 0;
        QString lastChange = QStringLiteral("-");
        if (any)
            lastChange = s.lastChange.isValid() ? logfile::CsvExport::timestamp(s.lastChange)
                                                : QStringLiteral("never");
        QString note;
        if (s.stale)
            note = QStringLiteral("stale?");
        QString row = QStringLiteral("%1 %2 %3 %4 %5  %6 %7 %8  %9%10")
                          .arg(s.sensor, 6)
                          .arg(s.count, 8)
                          .arg(any ? logfile::CsvExport::reading(s.minimum) : QStringLiteral("-"), 10)
                          .arg(any ? logfile::CsvExport::reading(s.maximum) : QStringLiteral("-"), 10)
                          .arg(any ? meanText(s, 4) : QStringLiteral("-"), 10)
                          .arg(lastChange, -25)
                          .arg(s.unchangedRecords, 9)
                          .arg(s.resetReadings, 6)
                          .arg(note, named ? -6 : 0)
                          .arg(named ? QStringLiteral("  ") + names.value(s.sensor - 1) : QString());
        while (row.endsWith(QLatin1Char(' ')))
            row.chop(1);
        out += row + QLatin1Char('\n');
    }
    if (std::any_of(figures.sensors.begin(), figures.sensors.end(),
                    [](const SensorFigures& s) { return s.stale; }))
        out += QStringLiteral("stale?: the value did not change over at least the last %1 records; a failed "
                              "sensor repeats its last value.\n")
                   .arg(staleRecords);
    return out;
}

QByteArray SensorStatistics::csv(const LogFigures& figures, const QStringList& names)
{
    QStringList header{QStringLiteral("sensor"),
                       QStringLiteral("count"),
                       QStringLiteral("min"),
                       QStringLiteral("max"),
                       QStringLiteral("mean"),
                       QStringLiteral("last_change"),
                       QStringLiteral("unchanged_records"),
                       QStringLiteral("count_85"),
                       QStringLiteral("stale")};
    if (!names.isEmpty())
        header << QStringLiteral("name");
    QByteArray out = logfile::CsvExport::row(header).toUtf8();
    for (const SensorFigures& s : figures.sensors) {
        const bool any = s.count > 0;
        QStringList row{QString::number(s.sensor),
                        QString::number(s.count),
                        any ? logfile::CsvExport::reading(s.minimum) : QString(),
                        any ? logfile::CsvExport::reading(s.maximum) : QString(),
                        meanText(s, 6),
                        logfile::CsvExport::timestamp(s.lastChange),
                        QString::number(s.unchangedRecords),
                        QString::number(s.resetReadings),
                        s.stale ? QStringLiteral("true") : QStringLiteral("false")};
        if (!names.isEmpty())
            row << names.value(s.sensor - 1);
        out += logfile::CsvExport::row(row).toUtf8();
    }
    return out;
}

} // namespace quorvel::logtool
