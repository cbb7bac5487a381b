#include "logfile/logrecord.h"
#include "adapterconfig.h"
#include "simulatorprocess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace quorvel;

namespace {

// Inside its own network namespace nothing else listens, so the port can be fixed in the settings.
constexpr int AdapterPort = 18080;
constexpr int OfflineMs = 5000;

// User plus system time of a process so far, from the kernel.
std::optional<double> cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold blanks: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return std::nullopt;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

QList<acquisition::ParsedLogRecord> records(const QString& path)
{
    QList<acquisition::ParsedLogRecord> result;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (const auto record = acquisition::parseLogRecord(QString::fromLocal8Bit(line.trimmed())))
            result.append(*record);
    }
    return result;
}

} // namespace

// The logger with no network at all, as on a computer whose cable is out: even loopback is down in its
// namespace. It runs on, reads nothing, spends next to no CPU, and reads again once the network returns.
class tst_Offline : public QObject {
    Q_OBJECT
private slots:
    void runsOnWithoutNetworkAndRecovers();
};

void tst_Offline::runsOnWithoutNetworkAndRecovers()
{
    // Never run outside a namespace of its own: the case is about a network that is gone.
    if (QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("-n"), QStringLiteral("true")}) != 0)
        QSKIP("unshare -n is not permitted here (needs root or user namespaces)");

    QTemporaryDir dir;
    const QProcessEnvironment env = testing::programEnvironment(
        dir.filePath(QStringLiteral("config")), QStringLiteral("127.0.0.1:%1").arg(AdapterPort));
    QVERIFY(!env.isEmpty());
    const QString logPath = dir.filePath(QStringLiteral("offline.log"));

    QProcess logger;
    logger.setProcessEnvironment(env);
    logger.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    logger.start(QStringLiteral("unshare"),
                 {QStringLiteral("-n"),
                  QCoreApplication::applicationDirPath() + QStringLiteral("/logkillharness"), logPath});
    QVERIFY2(logger.waitForStarted(5000), qPrintable(logger.errorString()));
    QVERIFY2(logger.waitForReadyRead(10000), "the logger did not start logging");
    QCOMPARE(logger.readLine().trimmed(), QByteArray("logging"));
    const qint64 pid = logger.processId();

    // Every connect fails at once here; the pause after each keeps the process from spinning.
    const auto cpuBefore = cpuSeconds(pid);
    QVERIFY(cpuBefore);
    QTest::qWait(OfflineMs);
    QCOMPARE(logger.state(), QProcess::Running);
    const auto cpuAfter = cpuSeconds(pid);
    QVERIFY(cpuAfter);
    // A bound on what it spends, not a share of a core: a spinning logger takes seconds of CPU even on a
    // machine busy enough to give it a fraction of a core; a paused one takes next to none.
    QVERIFY2(*cpuAfter - *cpuBefore < 1.0,
             qPrintable(QStringLiteral("%1 s of CPU").arg(*cpuAfter - *cpuBefore)));

    // The network returns: loopback up and the adapter there, with no restart of the logger.
    const QStringList inside = {QStringLiteral("nsenter"), QStringLiteral("-t"), QString::number(pid),
                                QStringLiteral("-n")};
    QCOMPARE(QProcess::execute(inside.first(),
                               inside.mid(1) + QStringList{QStringLiteral("ip"), QStringLiteral("link"),
                                                           QStringLiteral("set"), QStringLiteral("lo"),
                                                           QStringLiteral("up")}),
             0);
    SimulatorProcess simulator;
    QVERIFY(simulator.start({QStringLiteral("--port"), QString::number(AdapterPort)}, inside));

    // The sweep under way when the network came back is partly read; the one after it wholly.
    const qsizetype before = records(logPath).size();
    QTRY_VERIFY_WITH_TIMEOUT(records(logPath).size() >= before + 2, 40000);
    const auto second = records(logPath).at(before + 1);
    for (qsizetype slot = 0; slot < second.readings.size(); ++slot)
        QVERIFY2(second.readings.at(slot) != 0.0f,
                 qPrintable(QStringLiteral("sensor %1 was not read").arg(slot + 1)));
    QCOMPARE(logger.state(), QProcess::Running);
    logger.kill();
    QVERIFY(logger.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(tst_Offline)
#include "tst_offline.moc"
