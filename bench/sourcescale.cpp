// What several sources cost the service, in process: N adapter sources polled at once, each at the
// simulated adapter's pace (or at full speed), logging off. Prints the service's CPU per page, its CPU share
// and its private memory per source, from /proc/self/smaps_rollup. One simulator serves up to ten
// sources, so a hundred sources need no hundred processes; the simulators' own CPU is not counted.

#include "processprobe.h"
#include "simulatorprocess.h"

#include "sources/adapter/webpagecomponent.h"
#include "service/app/serviceprogram.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

using namespace quorvel;

namespace {

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

quint64 pages(const service::StateStore& store)
{
    quint64 total = 0;
    for (const auto& source : store.sources())
        for (const service::SensorState& sensor : source->sensors)
            for (const quint64 count : sensor.reads)
                total += count;
    return total;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("CPU and private memory of N adapter sources at once."));
    parser.addHelpOption();
    const QCommandLineOption sourcesOption(QStringLiteral("sources"), QStringLiteral("Sources (default 1)."),
                                           QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Measured time (default 20)."), QStringLiteral("s"),
                                           QStringLiteral("20"));
    const QCommandLineOption latencyOption(QStringLiteral("latency"),
                                           QStringLiteral("The simulators' ms per page (default 750)."),
                                           QStringLiteral("ms"), QStringLiteral("750"));
    parser.addOptions({sourcesOption, secondsOption, latencyOption});
    parser.process(app);
    const int count = std::max(1, parser.value(sourcesOption).toInt());
    const int seconds = std::max(1, parser.value(secondsOption).toInt());
    const int latency = std::max(0, parser.value(latencyOption).toInt());

    std::vector<std::unique_ptr<SimulatorProcess>> simulators;
    for (int i = 0; i < (count + 9) / 10; ++i) {
        simulators.push_back(std::make_unique<SimulatorProcess>());
        if (!simulators.back()->start({QStringLiteral("--latency"), QString::number(latency)})) {
            std::fprintf(stderr, "the simulator did not start\n");
            return 1;
        }
    }
    runFor(500);
    const long before = bench::ProcessProbe::privateKb().value_or(-1);
    service::ServiceConfig config;
    for (int i = 0; i < count; ++i) {
        service::SourceConfig source;
        source.name = QStringLiteral("s%1").arg(i);
        source.address = QStringLiteral("127.0.0.1:%1").arg(simulators[std::size_t(i / 10)]->port());
        config.sources.push_back(source);
    }
    service::ServiceProgram program(
        config,
        [](const service::SourceConfig&) { return std::make_unique<acquisition::WebPageComponent>(); },
        [](const QString&) {});
    if (program.start()) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }
    runFor(std::max(2000, 2 * latency)); // every connection made and warm
    const quint64 pagesBefore = pages(program.store());
    const double cpuBefore = bench::ProcessProbe::cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    runFor(seconds * 1000);
    const double cpu = bench::ProcessProbe::cpuSeconds() - cpuBefore;
    const double elapsed = double(wall.elapsed()) / 1000.0;
    const quint64 read = pages(program.store()) - pagesBefore;
    const long after = bench::ProcessProbe::privateKb().value_or(-1);
    std::printf(
        "sources sources=%d latency_ms=%d seconds=%.1f pages=%llu pages_per_s=%.1f cpu_ms_per_page=%.4f "
        "cpu_share=%.2f%% private_kb=%ld private_kb_per_source=%.1f\n",
        count, latency, elapsed, static_cast<unsigned long long>(read), double(read) / elapsed,
        read ? 1000.0 * cpu / double(read) : 0.0, 100.0 * cpu / elapsed, after,
        double(after - before) / count);
    program.stop();
    return 0;
}
