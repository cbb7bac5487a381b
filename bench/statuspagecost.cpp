// What the status page's answers cost to render with a full day of history: CPU per answer and bytes,
// for the built-in thirteen sensors and for a list of a hundred.

#include "service/outputs/web/servicemetrics.h"
#include "service/outputs/web/statuschart.h"
#include "service/outputs/web/statusjson.h"
#include "service/outputs/web/statuspage.h"
#include "service/state/statestore.h"

#include "acquisition/sensorlist.h"
#include "sources/adapter/adapterkind.h"

#include <QCoreApplication>

#include <cstdio>
#include <ctime>
#include <functional>

using namespace quorvel;

namespace {

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

void measure(const char* what, int sensors, const std::function<QByteArray()>& render)
{
    constexpr int Rounds = 20;
    qsizetype bytes = 0;
    const double start = threadCpuMs();
    for (int i = 0; i < Rounds; ++i)
        bytes = render().size();
    std::printf("statuspage sensors=%d answer=%s cpu_ms=%.3f bytes=%lld\n", sensors, what,
                (threadCpuMs() - start) / Rounds, static_cast<long long>(bytes));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QDateTime now = QDateTime::currentDateTime();
    for (const int count : {13, 100}) {
        QList<acquisition::ListedSensor> sensors;
        QStringList roms;
        for (int i = 0; i < count; ++i) {
            sensors.append({QStringLiteral("%1000000ABCDEF28").arg(i, 2, 16, QLatin1Char('0')).toUpper(),
                            QStringLiteral("Sensor in room %1").arg(i + 1)});
            roms << sensors.last().romCode;
        }
        const QString source = QStringLiteral("adapter");
        service::StateStore store(300, true);
        const service::SourceState& state =
            store.addSource(source, acquisition::adapterKind(), QStringLiteral("127.0.0.1:80"), sensors,
                            QStringLiteral("/var/log/q.log"));
        const service::ServiceMetrics metrics(store, QStringLiteral("1.0.0"));
        // A full day: a good read of every sensor every minute, drifting.
        for (int m = 1440; m >= 0; --m)
            for (int slot = 0; slot < count; ++slot) {
                const acquisition::SensorReading read{QStringLiteral("127.0.0.1:80"),
                                                      slot,
                                                      roms[slot],
                                                      {},
                                                      acquisition::ReadOutcome::Ok,
                                                      20.0f + float((m + slot) % 97) / 16,
                                                      {},
                                                      now.addSecs(-60 * qint64(m)),
                                                      now.addSecs(-60 * qint64(m))};
                store.onRead(source, read);
            }
        measure("page", count, [&] { return service::statuspage::html(store, now); });
        measure("readings.json", count, [&] { return service::statuspage::readingsJson(store, now); });
        measure("chart.svg", count, [&] { return service::statuspage::chartSvg(store, now); });
        measure("metrics", count, [&] { return metrics.exposition(); });
        std::printf("statuspage sensors=%d history_bytes=%zu\n", count, state.history.bytes());
    }
    return 0;
}
