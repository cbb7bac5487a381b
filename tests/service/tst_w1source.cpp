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
    void stuckBusRecovers_data();
    void stuckBusRecovers();
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
    // How the bus converts is told once it is known; an adapter has no say.
    QVERIFY(service.errors().contains(QStringLiteral("source bus: bulk conversion on")));
    QCOMPARE(sample(metrics(), "quorvel_source_info{source=\"bus\",kind=\"w1\",bulk_conversion=\"on\"}"),
             1.0);
    QCOMPARE(
        sample(metrics(), "quorvel_source_info{source=\"adapter\",kind=\"adapter\",bulk_conversion=\"\"}"),
        1.0);
    QVERIFY(httpGet(service.metricsPort(), QStringLiteral("/")).second.contains("Bulk conversion: on"));
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

void TestW1Source::stuckBusRecovers_data()
{
    // recovery: the source's key, {root} the simulator's tree, {script} the script that cuts the sensors'
    // power.
    QTest::addColumn<QByteArray>("stick");
    QTest::addColumn<QString>("recovery");
    QTest::addColumn<QString>("recoveredBy");
    QTest::newRow("stuck: the search, after the default minute")
        << QByteArray("stick\n") << QString() << "recovered by the search";
    QTest::newRow("hard-stuck: the search in vain, then the command")
        << QByteArray("stick-hard\n") << "    recovery:\n      after: 10\n      command: [{script}]\n"
        << "recovered by the command";
    QTest::newRow("hard-stuck: the search in vain, then the rebind")
        << QByteArray("stick-hard\n")
        << "    recovery:\n      after: 10\n      rebind: {root}/drivers/w1-gpio/onewire@0\n"
        << "recovered by the rebind";
}

// A bus stuck as a dead one is: its reads fail until the ladder's step that ends it; told with the time it
// was down and the step, a ghost on the bus told once.
void TestW1Source::stuckBusRecovers()
{
    QFETCH(QByteArray, stick);
    QFETCH(QString, recovery);
    QFETCH(QString, recoveredBy);
    W1SimProcess bus;
    if (!bus.start({"--sensors", "2", "--resolution", "9"}))
        QSKIP(qPrintable(bus.skipReason()));
    const auto dir = scratchDir(QStringLiteral("w1recovery"));
    const QString script = dir->filePath(QStringLiteral("power-cycle.sh"));
    QVERIFY(writeFile(script, "#!/bin/sh\necho power-cycle > '" + bus.root().toUtf8() + "/control'\n"));
    QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString file = dir->filePath(QStringLiteral("quorvel3d.yaml"));
    QVERIFY(
        writeFile(file, "listen: 127.0.0.1:0\nlocale: C\nsources:\n  - name: bus\n    kind: w1\n    root: " +
                            bus.root().toUtf8() + "\n    interval: 1\n    resolution: 10\n" +
                            QString(recovery)
                                .replace(QLatin1String("{root}"), bus.root())
                                .replace(QLatin1String("{script}"), script)
                                .toUtf8()));
    Service service;
    service.start({QStringLiteral("--config"), file});
    QTRY_VERIFY_WITH_TIMEOUT(service.metricsPort() > 0 || service.process.state() == QProcess::NotRunning,
                             10000);
    QVERIFY2(service.metricsPort() > 0, qPrintable(service.errors()));
    const auto metrics = [&] { return httpGet(service.metricsPort(), QStringLiteral("/metrics")).second; };
    const QByteArray firstSensor =
        "quorvel_sensor_reads_total{" + sensorLabels(0, W1SimProcess::codes(1).first().toLatin1(), {}, "bus");
    const auto reads = [&](const char* result) {
        return sample(metrics(), firstSensor + ",result=\"" + result + "\"}").value_or(0);
    };
    QTRY_VERIFY_WITH_TIMEOUT(reads("ok") >= 1, 20000);

    QVERIFY(bus.control("ghost 1\n" + stick));
    QTRY_VERIFY2_WITH_TIMEOUT(service.errors().contains(QLatin1String("the bus reads again after")),
                              qPrintable(service.errors()), 120'000);
    const QString told = service.errors();
    static const QRegularExpression back(
        QStringLiteral("source bus: the bus reads again after [0-9]+ (s|min)( [0-9]+ s)? down \\((.*)\\)"));
    QCOMPARE(back.match(told).captured(3), recoveredBy);
    QCOMPARE(told.count(QStringLiteral("source bus: a device 00-")), 1);
    QVERIFY(bus.searches() >= 1);
    const double ok = reads("ok");
    QTRY_VERIFY_WITH_TIMEOUT(reads("ok") > ok, 10000);
    // A power cycle set the sensor back to the 9 bits of its EEPROM: it is set up again.
    const QString resolution =
        bus.root() + u'/' + quorvel::acquisition::linuxId(W1SimProcess::codes(1).first()) + "/resolution";
    QTRY_COMPARE_WITH_TIMEOUT(readAll(resolution).trimmed(), QByteArray("10"), 10000);
    service.signal(SIGTERM);
    QVERIFY(service.finish());
    QCOMPARE(service.process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestW1Source)
#include "tst_w1source.moc"
