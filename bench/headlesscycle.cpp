// The acquisition cycle with the real page component and no display, as the service runs it: throughput
// and CPU per page, the CPU share while waiting on a slow adapter, whether memory or descriptors grow over
// a long run, and with --log what writing each record (flushed to stable storage, or with --no-sync not)
// costs.

#include "acquisition/acquisitioncycle.h"
#include "filerecorder.h"
#include "nullrecorder.h"
#include "pagecounter.h"
#include "processprobe.h"
#include "sources/adapter/adapterreader.h"
#include "sources/adapter/webpagecomponent.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

using namespace quorvel;
using bench::ProcessProbe;

namespace {

struct Sample {
    quint64 pages = 0;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakRssKb = -1;
    long rssKb = -1;
    int descriptors = -1;
};

Sample takeSample(quint64 pages, const QElapsedTimer& wall)
{
    return {pages,
            double(wall.nsecsElapsed()) / 1e9,
            ProcessProbe::cpuSeconds(),
            ProcessProbe::statusKb("VmHWM").value_or(-1),
            ProcessProbe::statusKb("VmRSS").value_or(-1),
            ProcessProbe::openDescriptors().value_or(-1)};
}

void printSample(const char* label, const Sample& s, const Sample& previous)
{
    const double rate = double(s.pages - previous.pages) / (s.wallSeconds - previous.wallSeconds);
    std::printf("%s pages=%llu vmhwm_kb=%ld vmrss_kb=%ld fds=%d pages_per_second=%.1f\n", label,
                static_cast<unsigned long long>(s.pages), s.peakRssKb, s.rssKb, s.descriptors, rate);
    std::fflush(stdout);
}

bool readingsPlausible(const acquisition::SensorReadings& readings)
{
    // The simulator's sensor n drifts between 15 + n and 21 + n degrees.
    for (qsizetype i = 0; i < readings.size(); ++i) {
        const float n = float(i + 1);
        if (readings[i] < 15 + n || readings[i] > 21 + n)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs the headless acquisition cycle against a simulator."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Simulator port."),
                                        QStringLiteral("N"));
    const QCommandLineOption pagesOption(QStringLiteral("pages"), QStringLiteral("Stop after N pages."),
                                         QStringLiteral("N"));
    const QCommandLineOption secondsOption(
        QStringLiteral("seconds"), QStringLiteral("Stop after S seconds instead."), QStringLiteral("S"));
    const QCommandLineOption warmupOption(QStringLiteral("warmup"),
                                          QStringLiteral("Pages before the baseline sample (default 1000)."),
                                          QStringLiteral("N"), QStringLiteral("1000"));
    const QCommandLineOption everyOption(QStringLiteral("sample-every"),
                                         QStringLiteral("Print a memory sample every N pages (0: none)."),
                                         QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption logOption(QStringLiteral("log"), QStringLiteral("Log each sweep to this file."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption noSyncOption(
        QStringLiteral("no-sync"), QStringLiteral("With --log: leave out the flush after each record."));
    parser.addOptions(
        {portOption, pagesOption, secondsOption, warmupOption, everyOption, logOption, noSyncOption});
    parser.process(app);

    const uint port = parser.value(portOption).toUInt();
    const quint64 pageTarget = parser.value(pagesOption).toULongLong();
    const double seconds = parser.value(secondsOption).toDouble();
    const quint64 warmup = parser.value(warmupOption).toULongLong();
    const quint64 every = parser.value(everyOption).toULongLong();
    if (port == 0 || port > 65535 || (pageTarget == 0) == (seconds <= 0)) {
        std::fprintf(stderr, "bench_cycle: needs --port and one of --pages or --seconds\n");
        return 2;
    }

    acquisition::WebPageComponent page;
    acquisition::AdapterReader reader(page);
    bench::NullRecorder nullRecorder;
    bench::FileRecorder fileRecorder(!parser.isSet(noSyncOption));
    const bool logging = parser.isSet(logOption);
    if (logging) {
        if (const auto error = fileRecorder.open(parser.value(logOption))) {
            std::fprintf(stderr, "bench_cycle: %s\n", qPrintable(error->reason));
            return 2;
        }
    }
    acquisition::SweepRecorder& recorder =
        logging ? static_cast<acquisition::SweepRecorder&>(fileRecorder) : nullRecorder;
    // No display, as in the service.
    acquisition::AcquisitionCycle cycle(reader, &recorder);
    bench::PageCounter counter(cycle);
    QEventLoop loop;

    QElapsedTimer wall;
    Sample first;
    Sample baseline;
    Sample previous;
    auto finish = [&] {
        cycle.stop();
        loop.quit();
    };
    QObject::connect(&counter, &bench::PageCounter::pageRead, &counter, [&](quint64 pages) {
        if (pages == 1)
            first = takeSample(pages, wall);
        if (pages == warmup) {
            baseline = previous = takeSample(pages, wall);
            if (every > 0)
                printSample("sample", baseline, first);
        }
        if (every > 0 && pages % every == 0) {
            const Sample now = takeSample(pages, wall);
            printSample("sample", now, previous);
            previous = now;
        }
        if (pages == pageTarget)
            finish();
    });
    if (seconds > 0)
        QTimer::singleShot(int(seconds * 1000), &loop, finish);

    const double cpuStart = ProcessProbe::cpuSeconds();
    wall.start();
    cycle.start(QStringLiteral("127.0.0.1:%1").arg(port));
    loop.exec();
    const Sample end = takeSample(counter.pages(), wall);

    const double cpu = end.cpuSeconds - cpuStart;
    const double pages = double(end.pages);
    // From the first answer on, so the one-off cost of the first connection does not count as waiting.
    const double steadyShare =
        end.pages > 1 ? (end.cpuSeconds - first.cpuSeconds) / (end.wallSeconds - first.wallSeconds) : -1;
    std::printf("cycle pages=%llu error_pages=%llu seconds=%.3f pages_per_second=%.1f cpu_seconds=%.3f "
                "cpu_ms_per_page=%.4f cpu_share=%.5f cpu_share_with_start=%.5f readings_ok=%d\n",
                static_cast<unsigned long long>(end.pages),
                static_cast<unsigned long long>(counter.errorPages()), end.wallSeconds,
                pages / end.wallSeconds, cpu, pages > 0 ? cpu * 1000.0 / pages : -1.0, steadyShare,
                cpu / end.wallSeconds, readingsPlausible(cycle.table().Readings) ? 1 : 0);
    if (baseline.pages > 0 && end.pages > baseline.pages) {
        std::printf(
            "growth from_pages=%llu to_pages=%llu vmhwm_start_kb=%ld vmhwm_end_kb=%ld vmhwm_diff_kb=%ld "
            "fds_start=%d fds_end=%d fds_diff=%d\n",
            static_cast<unsigned long long>(baseline.pages), static_cast<unsigned long long>(end.pages),
            baseline.peakRssKb, end.peakRssKb, end.peakRssKb - baseline.peakRssKb, baseline.descriptors,
            end.descriptors, end.descriptors - baseline.descriptors);
    }
    if (logging) {
        const double records = double(fileRecorder.written());
        std::printf(
            "log sync=%d records=%llu failed=%llu records_per_second=%.1f write_seconds=%.3f "
            "us_per_record=%.1f\n",
            parser.isSet(noSyncOption) ? 0 : 1, static_cast<unsigned long long>(fileRecorder.written()),
            static_cast<unsigned long long>(fileRecorder.failed()), records / end.wallSeconds,
            fileRecorder.writeSeconds(), records > 0 ? fileRecorder.writeSeconds() * 1e6 / records : -1.0);
    }
    return counter.errorPages() == 0 && fileRecorder.failed() == 0 ? 0 : 1;
}
