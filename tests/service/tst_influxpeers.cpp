#include "databaseprocess.h"
#include "scratchdir.h"
#include "serviceprocess.h"
#include "simulatorprocess.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include <sqlite3.h>

using namespace quorvel::testing;
using Kind = DatabaseProcess::Kind;
using Times = QMap<QString, QList<qint64>>;

namespace {

const QString Output = QStringLiteral("peer");
const QString Measurement = QStringLiteral("temperature");

// The store's samples per rom, oldest first: all of them, those with a good read, and how many of each
// stand at or before the output's cursor (what the database must hold by now).
struct Stored {
    Times all;
    Times good;
    QMap<QString, qsizetype> allSent;
    QMap<QString, qsizetype> goodSent;
    qsizetype afterCursor = 0;
    bool read = false;
};

Stored readStore(const QString& path)
{
    Stored stored;
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    const QByteArray sql = "SELECT s.rom, m.time, m.last IS NOT NULL,"
                           " (m.time, m.sensor) <= (SELECT time, sensor FROM cursors WHERE output = ?)"
                           " FROM samples m JOIN sensors s ON s.id = m.sensor ORDER BY s.rom, m.time";
    const QByteArray output = Output.toUtf8();
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
            SQLITE_OK &&
        sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.constData(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_bind_text(statement, 1, output.constData(), int(output.size()), SQLITE_STATIC) == SQLITE_OK) {
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            const QString rom =
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
            const qint64 time = sqlite3_column_int64(statement, 1);
            const bool good = sqlite3_column_int(statement, 2) != 0;
            const bool sent = sqlite3_column_int(statement, 3) != 0;
            stored.all[rom] << time;
            stored.allSent[rom] += sent;
            if (good) {
                stored.good[rom] << time;
                stored.goodSent[rom] += sent;
            }
            stored.afterCursor += !sent;
        }
        stored.read = step == SQLITE_DONE;
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return stored;
}

// The database holds, per rom, the store's first points in order, each once, and at least those up to the
// cursor; empty when so, else what differs.
QString compare(const Times& held, const Times& stored, const QMap<QString, qsizetype>& sent)
{
    for (auto it = stored.begin(); it != stored.end(); ++it) {
        const QList<qint64> points = held.value(it.key());
        if (points != it.value().mid(0, points.size()) || points.size() < sent.value(it.key()))
            return QStringLiteral("%1: the database holds %2 points, the store %3 (%4 sent); first %5 / %6")
                .arg(it.key())
                .arg(points.size())
                .arg(it.value().size())
                .arg(sent.value(it.key()))
                .arg(points.value(0))
                .arg(it.value().value(0));
    }
    for (auto it = held.begin(); it != held.end(); ++it)
        if (!stored.contains(it.key()))
            return QStringLiteral("%1: in the database, not in the store").arg(it.key());
    return {};
}

// The output's gauge on the service's /metrics; -1 when not there.
qint64 gauge(int port, const char* family)
{
    const QRegularExpression pattern(
        QStringLiteral("\n%1\\{[^}]*output=\"%2\"[^}]*\\} (\\d+)").arg(QLatin1String(family), Output));
    const auto match = pattern.match(QString::fromUtf8(httpGet(port, QStringLiteral("/metrics")).second));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// The metric names of this family the dashboard's queries use.
QStringList dashboardMetrics(const QString& family)
{
    QFile file(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../docs/grafana-dashboard.json"));
    const QByteArray json = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const QRegularExpression name(QStringLiteral("\\b(%1_[a-z_]+)\\b").arg(family));
    QStringList names;
    for (auto it = name.globalMatch(QString::fromUtf8(json)); it.hasNext();)
        names << it.next().captured(1);
    names.removeDuplicates();
    return names;
}

} // namespace

class TestInfluxPeers : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void aRepeatedLineCountsOnce_data();
    void aRepeatedLineCountsOnce();
    void nothingLostAcrossOutages_data();
    void nothingLostAcrossOutages();

private:
    bool startService(Service& service);
    // Until the service's backlog is 0 with the database up.
    bool caughtUp(Service& service, int ms);

    SimulatorProcess* sim_ = nullptr;
    std::unique_ptr<QTemporaryDir> dir_;
    QString config_;
};

void TestInfluxPeers::initTestCase()
{
    QVERIFY2(QFile::exists(servicePath()), "QUORVEL_SERVICE names no program");
    sim_ = new SimulatorProcess(this);
    QVERIFY(sim_->start());
}

void TestInfluxPeers::init()
{
    dir_ = scratchDir(QStringLiteral("peers"));
    QVERIFY(dir_->isValid());
    config_ = dir_->filePath(QStringLiteral("quorvel3d.yaml"));
}

bool TestInfluxPeers::startService(Service& service)
{
    service.start({QStringLiteral("--config"), config_});
    return QTest::qWaitFor([&] { return service.metricsPort() > 0; }, 10000);
}

bool TestInfluxPeers::caughtUp(Service& service, int ms)
{
    return QTest::qWaitFor([&] { return gauge(service.metricsPort(), "quorvel_output_backlog_lines") == 0; },
                           ms);
}

void TestInfluxPeers::aRepeatedLineCountsOnce_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("path");
    const QString v1 = QStringLiteral("/write?db=%1&precision=s").arg(DatabaseProcess::Database);
    QTest::newRow("VictoriaMetrics, /write") << Kind::Victoria << v1;
    QTest::newRow("VictoriaMetrics, /api/v2/write")
        << Kind::Victoria
        << QStringLiteral("/api/v2/write?org=%1&bucket=%2&precision=s")
               .arg(DatabaseProcess::Org, DatabaseProcess::Bucket);
    QTest::newRow("InfluxDB 1.x, /write") << Kind::Influx1 << v1;
}

// What "exactly once" rests on when a line is sent again after a lost answer: the database keeps one point
// per series and second. A sample without a good read is there by its counts alone.
void TestInfluxPeers::aRepeatedLineCountsOnce()
{
    QFETCH(Kind, kind);
    QFETCH(QString, path);
    if (!DatabaseProcess::available(kind))
        QSKIP("the database is not installed (scripts/install-deps installs it)");
    DatabaseProcess database;
    QVERIFY2(database.start(kind), qPrintable(database.output()));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QByteArray good = "temperature,host=a,source=s,rom=28-1,name=n celsius=21.5,raw=21.5,min=21,max=22,"
                            "reads=3i,failures=0i " +
                            QByteArray::number(now - 20) + "\n";
    const QByteArray failed = "temperature,host=a,source=s,rom=28-1,name=n reads=3i,failures=3i " +
                              QByteArray::number(now - 10) + "\n";
    QCOMPARE(database.write(path, good + failed), 204);
    QCOMPARE(database.write(path, good + failed), 204);
    const auto reads = database.times(Measurement, QStringLiteral("reads"));
    const auto celsius = database.times(Measurement, QStringLiteral("celsius"));
    QVERIFY(reads && celsius);
    QCOMPARE(*reads, (Times{{QStringLiteral("28-1"), {now - 20, now - 10}}}));
    QCOMPARE(*celsius, (Times{{QStringLiteral("28-1"), {now - 20}}}));
}

void TestInfluxPeers::nothingLostAcrossOutages_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QByteArray>("api"); // the output's keys after its url
    // VictoriaMetrics holds what it took in memory for a second or so before its files have it: a SIGKILL
    // loses points it answered 204 for, which no client can help. It is stopped; InfluxDB's write-ahead log
    // keeps what it answered for, so it is killed.
    QTest::addColumn<bool>("kill");
    const QByteArray v2 = "      api: v2\n      org: " + QByteArray(DatabaseProcess::Org) +
                          "\n      bucket: " + QByteArray(DatabaseProcess::Bucket) +
                          "\n      token_file: token\n";
    const QByteArray v1 = "      api: v1\n      database: " + QByteArray(DatabaseProcess::Database) + "\n";
    QTest::newRow("VictoriaMetrics, /write") << Kind::Victoria << v1 << false;
    QTest::newRow("VictoriaMetrics, /api/v2/write, gzip") << Kind::Victoria << v2 + "      gzip: true\n"
                                                          << false;
    QTest::newRow("InfluxDB 1.x, /write") << Kind::Influx1 << v1 << true;
}

// The database killed, then frozen, then down while the service is killed -9 and started again: every
// sample the store holds reaches it once, in order, none ahead of one before it.
void TestInfluxPeers::nothingLostAcrossOutages()
{
    QFETCH(Kind, kind);
    QFETCH(QByteArray, api);
    QFETCH(bool, kill);
    if (!DatabaseProcess::available(kind))
        QSKIP("the database is not installed (scripts/install-deps installs it)");
    DatabaseProcess database;
    QVERIFY(database.start(kind));
    QVERIFY(writeFile(dir_->filePath(QStringLiteral("token")), "not checked here\n"));
    QVERIFY(writeFile(config_, "listen: 127.0.0.1:0\nsources:\n  - name: adapter\n    address: 127.0.0.1:" +
                                   QByteArray::number(sim_->port()) +
                                   "\nstore:\n  path: history.sqlite\n  sample_interval: 1\n"
                                   "outputs:\n  influx:\n    - name: " +
                                   Output.toUtf8() + "\n      url: " + database.url().toUtf8() + "\n" + api +
                                   "      tags:\n        site: cellar north\n"));
    const QString store = dir_->filePath(QStringLiteral("history.sqlite"));
    const auto held = [&] { return database.times(Measurement, QStringLiteral("reads")).value_or(Times{}); };

    Service service;
    QVERIFY2(startService(service), qPrintable(service.errors()));
    QVERIFY2(QTest::qWaitFor([&] { return !held().isEmpty(); }, 20000),
             qPrintable(service.errors() + database.output()));

    if (kill)
        database.kill();
    else
        database.stop();
    QTest::qWait(4000);
    QVERIFY(database.restart());
    QVERIFY2(caughtUp(service, 30000), qPrintable(service.errors()));

    database.pause(true);
    QTest::qWait(4000);
    database.pause(false);
    QVERIFY2(caughtUp(service, 30000), qPrintable(service.errors()));

    database.stop();
    QTest::qWait(3000);
    service.signal(SIGKILL);
    service.finish();
    Service again;
    QVERIFY2(startService(again), qPrintable(again.errors()));
    QTest::qWait(2000);
    QVERIFY(database.restart());
    QVERIFY2(caughtUp(again, 30000), qPrintable(again.errors()));
    const QByteArray own = httpGet(again.metricsPort(), QStringLiteral("/metrics")).second;
    const QStringList served = dashboardMetrics(QStringLiteral("quorvel"));
    QVERIFY(!served.isEmpty());
    for (const QString& name : served)
        QVERIFY2(own.contains("\n" + name.toUtf8() + '{'), qPrintable(name));
    again.signal(SIGTERM);
    QVERIFY(again.finish());

    const Stored stored = readStore(store);
    QVERIFY(stored.read);
    QCOMPARE(int(stored.all.size()), SimulatorProcess::SensorCount);
    // Caught up a moment before the stop: at most the last few seconds' rows wait.
    QVERIFY2(stored.afterCursor <= 5 * SimulatorProcess::SensorCount,
             qPrintable(QString::number(stored.afterCursor)));
    const QString reads = compare(held(), stored.all, stored.allSent);
    QVERIFY2(reads.isEmpty(), qPrintable(reads));
    const auto celsius = database.times(Measurement, QStringLiteral("celsius"));
    QVERIFY(celsius);
    const QString good = compare(*celsius, stored.good, stored.goodSent);
    QVERIFY2(good.isEmpty(), qPrintable(good));

    if (kind == Kind::Victoria) {
        const auto names = database.metricNames();
        QVERIFY(names);
        const QStringList used = dashboardMetrics(Measurement);
        QVERIFY(!used.isEmpty());
        for (const QString& name : used)
            QVERIFY2(names->contains(name),
                     qPrintable(name + QStringLiteral(" is not among ") + names->join(u' ')));
    }
}

QTEST_GUILESS_MAIN(TestInfluxPeers)
#include "tst_influxpeers.moc"
