// Writes a year's log (by default, from 1 January: 3,153,600 records, a sweep every 10 s) with the logger's
// own line (composeLogRecord, encodeLogLine) for the log tool's figures in bench/run. Readings move slowly in
// sixteenths of a degree as a DS18B20's do; logging stops twice for two days, and each new logging period
// starts with sensor 5 at 85, as after a power-on reset.
#include "logfile/logrecord.h"
#include "logfile/logsession.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption out(QStringLiteral("out"), QStringLiteral("The log to write."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption records(QStringLiteral("records"), QStringLiteral("Records (3153600)."),
                                     QStringLiteral("N"), QStringLiteral("3153600"));
    const QCommandLineOption locale(QStringLiteral("locale"), QStringLiteral("The logger's locale (en_US)."),
                                    QStringLiteral("NAME"), QStringLiteral("en_US"));
    // A log that starts on one of the days 1 to 12 leaves the date's order in doubt until the 13th.
    const QCommandLineOption first(QStringLiteral("start"),
                                   QStringLiteral("The first record's day (2025-01-01)."),
                                   QStringLiteral("DATE"), QStringLiteral("2025-01-01"));
    const QCommandLineOption sensors(QStringLiteral("sensors"), QStringLiteral("Readings a record (13)."),
                                     QStringLiteral("N"), QStringLiteral("13"));
    parser.addOptions({out, records, locale, first, sensors});
    parser.process(app);
    QFile file(parser.value(out));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "bench_yearlog: %s\n", qPrintable(file.errorString()));
        return 1;
    }
    const qint64 count = parser.value(records).toLongLong();
    const QLocale loc(parser.value(locale));
    const QDate day0 = QDate::fromString(parser.value(first), Qt::ISODate);
    if (!day0.isValid()) {
        std::fprintf(stderr, "bench_yearlog: --start must be an ISO 8601 date\n");
        return 1;
    }
    const QDateTime start(day0, QTime(0, 0, 3));
    constexpr qint64 Pause = 2 * 86400 / 10; // records' worth of time logging is off
    const qsizetype width = std::clamp<qsizetype>(parser.value(sensors).toLongLong(), 1,
                                                  quorvel::acquisition::LogRecord::MaxReadingCount);
    QList<float> readings(width);
    QByteArray chunk;
    qint64 skipped = 0;
    bool periodStart = true;
    for (qint64 i = 0; i < count; ++i) {
        if (i == count / 3 || i == 2 * count / 3) {
            skipped += Pause;
            periodStart = true;
        }
        const qint64 step = i + skipped;
        const double day = double(step) / 8640.0;
        for (qsizetype s = 0; s < readings.size(); ++s) {
            const double seasonal = 8.0 * std::sin(2 * M_PI * (day - 100.0) / 365.0);
            const double daily = (2.0 + 0.3 * double(s)) * std::sin(2 * M_PI * day + 0.4 * double(s));
            const double value = 14.0 + 1.5 * double(s) + seasonal + daily;
            readings[s] = float(std::round(value * 16.0) / 16.0);
        }
        if (periodStart && width > 4)
            readings[4] = 85.0f;
        periodStart = false;
        chunk += quorvel::acquisition::encodeLogLine(
            quorvel::acquisition::composeLogRecord(start.addSecs(step * 10), readings, loc));
        if (chunk.size() > (1 << 20)) {
            file.write(chunk);
            chunk.clear();
        }
    }
    file.write(chunk);
    return file.error() == QFileDevice::NoError ? 0 : 1;
}
