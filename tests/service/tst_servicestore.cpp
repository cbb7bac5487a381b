#include "servicefixture.h"
#include "serviceprocess.h"
#include "simulatorprocess.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <csignal>

using namespace quorvel::testing;

namespace {

// One value the store gives for a query with ? bound to `bound`, or empty when it cannot be read. Read-only
// beside a running service; read-write after a kill, so the write-ahead log is recovered as a start would.
QString storeValue(const QString& path, const QByteArray& sql, qint64 bound, bool readOnly)
{
    sqlite3* db = nullptr;
    QString value;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db,
                        readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &statement, nullptr) == SQLITE_OK) {
            if (sqlite3_bind_parameter_count(statement) > 0)
                sqlite3_bind_int64(statement, 1, bound);
            if (sqlite3_step(statement) == SQLITE_ROW)
                value = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return value;
}

} // namespace

class TestServiceStore : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void killedWhileWritingKeepsEveryRound();

private:
    SimulatorProcess* sim_ = nullptr;
};

void TestServiceStore::initTestCase()
{
    QVERIFY2(QFile::exists(servicePath()), "QUORVEL_SERVICE names no program");
    sim_ = new SimulatorProcess(this);
    QVERIFY(sim_->start());
    QVERIFY(sim_->setLatency(0));
}

// At full simulator speed and a sample a sweep the writer commits every second: SIGKILL lands in or
// between its transactions, and the next start goes on with the same file.
void TestServiceStore::killedWhileWritingKeepsEveryRound()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString config = dir.filePath(QStringLiteral("quorvel3d.yaml"));
    const QString store = dir.filePath(QStringLiteral("history.sqlite"));
    QVERIFY(writeFile(
        config, "sources:\n  - name: adapter\n    address: 127.0.0.1:" + QByteArray::number(sim_->port()) +
                    "\nstore:\n  path: history.sqlite\n  sample_interval: 0\n"));
    const QByteArray samplesSince = "SELECT count(*) FROM samples WHERE time >= ?";
    const int rounds = 5;
    QList<qint64> starts;
    for (int round = 0; round < rounds; ++round) {
        starts << QDateTime::currentSecsSinceEpoch();
        Service service;
        service.start({QStringLiteral("--config"), config});
        QVERIFY2(QTest::qWaitFor(
                     [&] { return storeValue(store, samplesSince, starts.last(), true).toInt() > 0; }, 30000),
                 qPrintable(service.errors()));
        QTest::qWait(int(QRandomGenerator::global()->bounded(1000)));
        service.signal(SIGKILL);
        service.finish();
        QCOMPARE(service.process.exitStatus(), QProcess::CrashExit);
        // A second within the same round's rows; the next round starts after it.
        QTest::qWait(1100);
    }
    QCOMPARE(storeValue(store, "PRAGMA integrity_check", 0, false), QStringLiteral("ok"));
    starts << QDateTime::currentSecsSinceEpoch() + 1;
    for (int round = 0; round < rounds; ++round) {
        const QString count =
            storeValue(store, samplesSince + " AND time < " + QByteArray::number(starts.at(round + 1)),
                       starts.at(round), false);
        QVERIFY2(count.toInt() > 0, qPrintable(QStringLiteral("round %1: %2 rows").arg(round).arg(count)));
    }
}

QTEST_GUILESS_MAIN(TestServiceStore)
#include "tst_servicestore.moc"
