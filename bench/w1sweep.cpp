// A sweep of the kernel's 1-Wire bus as the w1 source reads it, on the FUSE simulator: one by one (each read
// converts, as on a bus master without therm_bulk_read) against the whole bus converted at once, in the same
// run; the reader's CPU a read and its share of a core at that pace; its private memory with 100 sensors on
// one bus; and a bulk sweep of 13 sensors at each resolution, the wait following their conversion time. The
// simulator's own CPU is not counted.

#include "processprobe.h"
#include "w1simprocess.h"

#include "sources/w1/w1busreader.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <cstdio>

using namespace quorvel;

namespace {

// Reads every slot in turn, as the cycle does, sweeps times; the seconds a sweep took, or -1 on a failed
// read.
double sweep(acquisition::W1BusReader& reader, int sensors, int sweeps)
{
    QEventLoop loop;
    int slot = 0;
    int done = 0;
    bool failed = false;
    QObject::connect(&reader, &acquisition::SensorReader::answered, &loop,
                     [&](int, const acquisition::SensorAnswer& answer) {
                         failed = failed || answer.outcome != acquisition::ReadOutcome::Ok;
                         if (++slot == sensors) {
                             slot = 0;
                             ++done;
                         }
                         if (done == sweeps)
                             loop.quit();
                         else
                             reader.read(slot);
                     });
    QElapsedTimer clock;
    clock.start();
    reader.read(0);
    loop.exec();
    return failed ? -1 : double(clock.elapsed()) / 1000.0 / sweeps;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Sweeps of the simulated kernel 1-Wire bus, one by one and bulk."));
    parser.addHelpOption();
    const QCommandLineOption sweepsOption(QStringLiteral("sweeps"),
                                          QStringLiteral("Sweeps each way (default 3)."), QStringLiteral("n"),
                                          QStringLiteral("3"));
    parser.addOption(sweepsOption);
    parser.process(app);
    const int sweeps = std::max(1, parser.value(sweepsOption).toInt());
    constexpr int Sensors = 13;
    constexpr int ManySensors = 100;

    W1SimProcess plain;
    W1SimProcess bulk;
    if (!plain.start({QStringLiteral("--no-bulk"), QStringLiteral("--sensors"), QString::number(Sensors)}) ||
        !bulk.start({QStringLiteral("--sensors"), QString::number(Sensors)})) {
        std::fprintf(stderr, "the simulator did not start: %s\n",
                     qPrintable(plain.skipReason() + bulk.skipReason()));
        return 1;
    }
    acquisition::W1BusReader oneByOne(plain.root());
    oneByOne.setSensors(W1SimProcess::codes(Sensors));
    const double oneByOneSeconds = sweep(oneByOne, Sensors, sweeps);

    acquisition::W1BusReader converting(bulk.root());
    converting.setSensors(W1SimProcess::codes(Sensors));
    const double cpuBefore = bench::ProcessProbe::cpuSeconds();
    const double bulkSeconds = sweep(converting, Sensors, sweeps);
    const double cpu = bench::ProcessProbe::cpuSeconds() - cpuBefore;
    std::printf("w1 sensors=%d sweeps=%d one_by_one_s=%.3f bulk_s=%.3f ratio=%.1f cpu_ms_per_read=%.3f "
                "cpu_share=%.3f%%\n",
                Sensors, sweeps, oneByOneSeconds, bulkSeconds, oneByOneSeconds / bulkSeconds,
                1000.0 * cpu / (Sensors * sweeps), 100.0 * cpu / (bulkSeconds * sweeps));

    W1SimProcess large;
    if (!large.start({QStringLiteral("--sensors"), QString::number(ManySensors)}))
        return 1;
    const long before = bench::ProcessProbe::privateKb().value_or(-1);
    acquisition::W1BusReader hundred(large.root());
    hundred.setSensors(W1SimProcess::codes(ManySensors));
    const double hundredSeconds = sweep(hundred, ManySensors, 2);
    const long after = bench::ProcessProbe::privateKb().value_or(-1);
    std::printf("w1memory sensors=%d bulk_s=%.3f private_kb=%ld private_kb_added=%ld\n", ManySensors,
                hundredSeconds, after, after - before);

    bool resolutionsSwept = true;
    for (int bits = 9; bits <= 12; ++bits) {
        W1SimProcess atBits;
        if (!atBits.start({QStringLiteral("--sensors"), QString::number(Sensors),
                           QStringLiteral("--resolution"), QString::number(bits)}))
            return 1;
        acquisition::W1BusReader reader(atBits.root());
        reader.setSensors(W1SimProcess::codes(Sensors));
        const double seconds = sweep(reader, Sensors, sweeps);
        resolutionsSwept = resolutionsSwept && seconds > 0;
        std::printf("w1resolution bits=%d sensors=%d sweeps=%d bulk_s=%.3f\n", bits, Sensors, sweeps,
                    seconds);
    }
    return bulkSeconds > 0 && oneByOneSeconds > 0 && hundredSeconds > 0 && resolutionsSwept ? 0 : 1;
}
