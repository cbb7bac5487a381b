#include "servicefixture.h"
#include "serviceprocess.h"
#include "simulatorprocess.h"
#include "w1simprocess.h"

#include <QTest>

#include <csignal>

using namespace quorvel::testing;

// quorvel3d reading the kernel's 1-Wire tree, served by the FUSE simulator, beside an adapter source.
class TestW1Source : public QObject {
    Q_OBJECT
private slots:
    void hungBusHoldsUpNothingElse();
};

// Its sensors found, read and logged; then a read that hangs in the "kernel": the bus is no_answer and told
// once, while the listener answers and the adapter source sweeps on; released, the bus answers again.
void TestW1Source::hungBusHoldsUpNothingElse()
{
    W1SimProcess bus;
    if (!bus.start({"--sensors", "3", "--resolution", "9"}))
        QSKIP(qPrintable(bus.skipReason()));
    SimulatorProcess adapter;
    QVERIFY(adapter.start());
    QVERIFY(adapter.setLatency(20));
    const auto dir = scratchDir(QStringLiteral("w1source"));
    const QString file = dir->filePath(QStringLiteral("quorvel3d.yaml"));
    const QString busLog = dir->filePath(QStringLiteral("bus.log"));
    QVERIFY(writeFile(
        file, "listen: 127.0.0.1:0\nlocale: C\nsources:\n  - name: bus\n    kind: w1\n    root: " +
                  bus.root().toUtf8() + "\n    log: " + busLog.toUtf8() +
                  "\n  - name: adapter\n    address: 127.0.0.1:" + QByteArray::number(adapter.port()) +
                  "\n    log: " + dir->filePath(QStringLiteral("adapter.log")).toUtf8() + "\n"));
    Service service;
    service.start({QStringLiteral("--config"), file});
    QTRY_VERIFY2_WITH_TIMEOUT(service.metricsPort() > 0, qPrintable(service.errors()), 10000);
    // The bus has listed none yet: the start says what it will poll, not "0 sensors".
    QVERIFY2(
        service.errors().contains(QStringLiteral("started: 2 sources from %1, 13 sensors listed and those "
                                                 "found at start, metrics")
                                      .arg(file)),
        qPrintable(service.errors()));
    const auto metrics = [&] { return httpGet(service.metricsPort(), QStringLiteral("/metrics")).second; };
    const QByteArray adapterSweeps = "quorvel_sweeps_total{" + sourceLabels("adapter") + '}';
    const QByteArray firstSensor =
        "quorvel_sensor_reads_total{" + sensorLabels(0, W1SimProcess::codes(1).first().toLatin1(), {}, "bus");
    const auto reads = [&](const char* result) {
        return sample(metrics(), firstSensor + ",result=\"" + result + "\"}").value_or(0);
    };
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(busLog) >= 2, 20000);
    const QByteArray last = records(readAll(busLog)).last();
    QVERIFY2(last.contains(" 20 ") && last.contains(" 20.5 ") && last.contains(" 21 "), last.constData());
    QVERIFY(reads("ok") >= 2);

    QVERIFY(bus.control("fault 1 hang\n"));
    QTRY_VERIFY_WITH_TIMEOUT(reads("no_answer") >= 1, 30000);
    // The listener answers and the adapter sweeps on while the bus's read still hangs.
    const double sweeps = sample(metrics(), adapterSweeps).value_or(-1);
    QTRY_VERIFY_WITH_TIMEOUT(sample(metrics(), adapterSweeps).value_or(-1) >= sweeps + 2, 20000);
    QCOMPARE(httpGet(service.metricsPort(), QStringLiteral("/readings.json")).first, 200);
    QTRY_VERIFY_WITH_TIMEOUT(service.errors().contains(QStringLiteral("is unreachable")), 20000);
    QCOMPARE(service.errors().count(QStringLiteral("is unreachable")), 1);

    QVERIFY(bus.control("release\n"));
    const double ok = reads("ok");
    QTRY_VERIFY_WITH_TIMEOUT(reads("ok") > ok, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(service.errors().contains(QStringLiteral("answers again")), 10000);

    // A SIGHUP has it look for its sensors again while it sweeps: the log, moved away as logrotate does or
    // not, gets lines after every one.
    for (int round = 1; round <= 6; ++round) {
        if (round % 2 == 1)
            QVERIFY(QFile::rename(busLog, busLog + u'.' + QString::number(round)));
        const qsizetype before = recordCount(busLog);
        service.signal(SIGHUP);
        QTRY_VERIFY2_WITH_TIMEOUT(recordCount(busLog) >= before + 2, qPrintable(service.errors()), 20000);
    }
    service.signal(SIGTERM);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestW1Source)
#include "tst_w1source.moc"
