#include "logfile/logrecord.h"
#include "adapterconfig.h"
#include "simulatorprocess.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace quorvel;

// Kills a logging process at random moments, many times over one file, and finds only whole lines.
class tst_LogKill : public QObject {
    Q_OBJECT
private slots:
    void onlyCompleteLinesAfterSigkill();
};

void tst_LogKill::onlyCompleteLinesAfterSigkill()
{
    SimulatorProcess sim;
    QVERIFY(sim.start());
    QTemporaryDir dir;
    const QProcessEnvironment env = testing::programEnvironment(
        dir.filePath(QStringLiteral("config")), QStringLiteral("127.0.0.1:%1").arg(sim.port()));
    QVERIFY(!env.isEmpty());
    const QString logPath = dir.filePath(QStringLiteral("kill.log"));
    const QString harness = QCoreApplication::applicationDirPath() + QStringLiteral("/logkillharness");

    const int runs = qEnvironmentVariableIntValue("QUORVEL_KILL_RUNS") > 0
                         ? qEnvironmentVariableIntValue("QUORVEL_KILL_RUNS")
                         : 25;
    QRandomGenerator rng(20261208);
    qint64 previousSize = 0;
    int lastCount = 0;
    for (int run = 0; run < runs; ++run) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(harness, {logPath});
        QVERIFY2(p.waitForStarted(5000), qPrintable(p.errorString()));
        QVERIFY2(p.waitForReadyRead(10000), "the harness did not start logging");
        QCOMPARE(p.readLine().trimmed(), QByteArray("logging"));
        QTest::qWait(static_cast<int>(rng.bounded(20, 400)));
        ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
        QVERIFY(p.waitForFinished(5000));

        QFile f(logPath);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray all = f.readAll();
        // Every line written before the kill is still there: the file only grows.
        QVERIFY(all.size() >= previousSize);
        previousSize = all.size();
        if (all.isEmpty())
            continue;
        QVERIFY2(all.endsWith("\r\n"), qPrintable(QStringLiteral("run %1 left a partial line").arg(run)));
        QList<QByteArray> lines = all.split('\n');
        QCOMPARE(lines.takeLast(), QByteArray());
        for (int i = 0; i < lines.size(); ++i) {
            QVERIFY2(lines[i].endsWith('\r'), qPrintable(QStringLiteral("line %1 has no CR").arg(i + 1)));
            const auto record = acquisition::parseLogRecord(QString::fromLocal8Bit(lines[i].chopped(1)));
            QVERIFY2(record.has_value(), lines[i].constData());
        }
        QVERIFY(lines.size() >= lastCount);
        lastCount = static_cast<int>(lines.size());
    }
    QVERIFY2(lastCount > runs,
             qPrintable(QStringLiteral("only %1 records in %2 runs").arg(lastCount).arg(runs)));
    qInfo("%d runs, %d complete records, no partial line", runs, lastCount);
}

QTEST_GUILESS_MAIN(tst_LogKill)
#include "tst_logkill.moc"
