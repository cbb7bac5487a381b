// Writes a store as the service would hold it after a long run, for the benchmark and a look at the page.
#include "yeargenerator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cstdio>

using quorvel::historyyear::YearShape;

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes a generated history store."));
    parser.addHelpOption();
    const YearShape defaults;
    const QCommandLineOption sensors(QStringLiteral("sensors"), QStringLiteral("Sensors."),
                                     QStringLiteral("N"), QString::number(defaults.sensors));
    const QCommandLineOption days(QStringLiteral("days"), QStringLiteral("Days of history."),
                                  QStringLiteral("D"), QString::number(defaults.days));
    const QCommandLineOption interval(QStringLiteral("interval"), QStringLiteral("Seconds a sample."),
                                      QStringLiteral("S"), QString::number(defaults.interval));
    const QCommandLineOption keepSamples(
        QStringLiteral("keep-samples"), QStringLiteral("Days of samples kept (0: all); hourly rows for all."),
        QStringLiteral("D"), QString::number(defaults.keepSamplesDays));
    const QCommandLineOption end(QStringLiteral("end"), QStringLiteral("End, UTC seconds (default: now)."),
                                 QStringLiteral("EPOCH"));
    parser.addOptions({sensors, days, interval, keepSamples, end});
    parser.addPositionalArgument(QStringLiteral("path"), QStringLiteral("The store to create."));
    parser.process(app);

    const auto number = [&](const QCommandLineOption& option, qint64 least, qint64* value) {
        bool ok = false;
        *value = parser.value(option).toLongLong(&ok);
        if (ok && *value >= least)
            return true;
        std::fprintf(stderr, "--%s: a whole number of at least %lld\n",
                     qPrintable(option.names().constFirst()), static_cast<long long>(least));
        return false;
    };
    qint64 values[4] = {};
    qint64 endTime = QDateTime::currentSecsSinceEpoch();
    if (parser.positionalArguments().size() != 1) {
        std::fprintf(stderr, "one path, please\n");
        return 2;
    }
    if (!number(sensors, 1, &values[0]) || !number(days, 1, &values[1]) || !number(interval, 1, &values[2]) ||
        !number(keepSamples, 0, &values[3]) || (parser.isSet(end) && !number(end, 0, &endTime)))
        return 2;
    const YearShape shape{static_cast<int>(values[0]), static_cast<int>(values[1]),
                          static_cast<int>(values[2]), static_cast<int>(values[3]), endTime};
    const QString path = parser.positionalArguments().constFirst();
    QElapsedTimer timer;
    timer.start();
    QString error;
    const auto written = quorvel::historyyear::writeYear(path, shape, &error);
    if (!written) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("history samples=%lld hourly=%lld folded_until=%lld bytes=%lld seconds=%.2f\n",
                static_cast<long long>(written->samples), static_cast<long long>(written->hourly),
                static_cast<long long>(written->foldedUntil), static_cast<long long>(QFileInfo(path).size()),
                static_cast<double>(timer.elapsed()) / 1000.0);
    return 0;
}
