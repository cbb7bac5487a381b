// The store's writing side against real SQLite files: a state store's reads and changes become rows, files
// that cannot be the store are refused untouched, hours fold and old rows go, a full disk holds the rows.
#include "service/history/historydatabase.h"
#include "service/history/historystore.h"
#include "service/history/outbox.h"
#include "service/state/statestore.h"
#include "sources/adapter/adapterkind.h"

#include "scratchdir.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <sqlite3.h>
#include <unistd.h>

using namespace quorvel;
using namespace quorvel::service;
using namespace quorvel::service::history;
using acquisition::ReadOutcome;

namespace {

const QString Source = QStringLiteral("cellar");
const QString RomA = QStringLiteral("28000000000000A1");
const QString RomB = QStringLiteral("28000000000000B2");
constexpr qint64 H0 = 1'699'999'200; // an hour's start, UTC
constexpr qint64 Day = 86400;
constexpr int WaitMs = 30000;

// A read of a slot at a second from H0; sweep: the source's sweep ends after it.
struct Read {
    qint64 at;
    int slot;
    ReadOutcome outcome;
    float value = 0;
    std::optional<float> raw = std::nullopt;
    bool sweep = false;
};

// The rows of a query, columns joined by '|', NULL as '-'.
QStringList rows(const QString& path, const QString& sql)
{
    sqlite3* db = nullptr;
    QStringList found;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            QStringList columns;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                columns << (text ? QString::fromUtf8(text) : QStringLiteral("-"));
            }
            found << columns.join(QLatin1Char('|'));
        }
    } else {
        found << QStringLiteral("cannot read: %1").arg(QString::fromUtf8(sqlite3_errmsg(db)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return found;
}

bool sql(const QString& path, const QString& statements)
{
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, statements.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

bool run(const QString& program, const QStringList& arguments)
{
    return QProcess::execute(program, arguments) == 0;
}

// A state store with one source of two sensors, A with a high limit of 30, and the history store on it.
struct Fixture {
    explicit Fixture(const StoreSettings& settings, qint64 start = H0)
        : base(start), now(QDateTime::fromSecsSinceEpoch(start, Qt::UTC)), state(300, false)
    {
        state.setClock([this] { return now; });
        SensorSettings limits;
        limits.high = 30;
        state.addSource(Source, acquisition::adapterKind(), QStringLiteral("127.0.0.1"),
                        {{RomA, QStringLiteral("Freezer")}, {RomB, {}}}, {}, now, {{RomA, limits}});
        std::optional<OpenError> error;
        store = HistoryStore::open(settings, &error);
        if (store) {
            store->setClock([this] { return now; });
            store->watch(state);
        }
    }
    void play(const QList<Read>& reads)
    {
        for (const Read& read : reads) {
            now = QDateTime::fromSecsSinceEpoch(base + read.at, Qt::UTC);
            const QString rom = read.slot == 0 ? RomA : RomB;
            state.onRead(
                Source,
                {u"127.0.0.1"_qs, read.slot, rom, {}, read.outcome, read.value, {}, now, now, read.raw});
            if (read.sweep)
                state.onSweep(Source, {});
        }
    }
    qint64 base;
    QDateTime now;
    StateStore state;
    std::unique_ptr<HistoryStore> store;
};

StoreSettings settingsFor(const QString& path, int interval, int keepSamples = 0)
{
    return {path, interval, keepSamples, 0};
}

// "time rom reads min max" of the rows handed out, which must come in key order.
QStringList sent(const QList<OutboxRow>& rows)
{
    QStringList texts;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const SampleRow& row = rows[i].sample;
        texts << QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(row.time - H0)
                     .arg(row.romCode.right(2))
                     .arg(row.reads)
                     .arg(row.min.value_or(0))
                     .arg(row.max.value_or(0));
        if (rows[i].position.time != row.time || (i > 0 && rows[i - 1].position >= rows[i].position))
            texts << QStringLiteral("out of order");
    }
    return texts;
}

} // namespace

class TestHistoryStore : public QObject {
    Q_OBJECT
private slots:
    void samples_data();
    void samples();
    void events();
    void restart();
    void refusals_data();
    void refusals();
    void foldAndPrune();
    void fullDisk();
    void migration();
    void outbox();
    void outboxLoss();
};

void TestHistoryStore::samples_data()
{
    QTest::addColumn<int>("interval");
    QTest::addColumn<QStringList>(
        "expected"); // time|rom|source|name|last|raw|min|max|mean|reads|failed|failures
    const QString b0 = QStringLiteral("28000000000000B2|cellar|Sensor 2|5000|-|5000|5000|5000|1|0|-");
    const QString a1 = QStringLiteral("28000000000000A1|cellar|Freezer|23000|-|22000|23000|22500|2|0|-");
    const QString b1 = QStringLiteral("28000000000000B2|cellar|Sensor 2|-|-|-|-|-|1|1|no_answer:1");
    // A: two good reads with a calibration offset, a failure of two outcomes, a power-on 85.
    const QString a0 = QStringLiteral("28000000000000A1|cellar|Freezer|21500|21000|20500|21500|21000|7|5|"
                                      "no_answer:1 power_on_reset:1 crc_error:2 implausible:1");
    QTest::newRow("ten seconds") << 10 << QStringList{"0|" + a0, "0|" + b0, "10|" + a1, "10|" + b1};
    // The same reads a row per sweep; two sweeps of one second are one row.
    QTest::newRow("each sweep") << 0 << QStringList{"1|" + a0, "2|" + b0, "12|" + a1, "12|" + b1};
}

void TestHistoryStore::samples()
{
    QFETCH(int, interval);
    QFETCH(QStringList, expected);
    const auto dir = testing::scratchDir(QStringLiteral("samples"));
    const QString path = dir->filePath(QStringLiteral("history.db"));
    {
        Fixture fixture(settingsFor(path, interval));
        QVERIFY(fixture.store);
        fixture.play({{1, 0, ReadOutcome::Ok, 20.5f, 20.0f},
                      {2, 1, ReadOutcome::Ok, 5.0f},
                      {3, 0, ReadOutcome::Ok, 21.5f, 21.0f},
                      {4, 0, ReadOutcome::CrcError},
                      {5, 0, ReadOutcome::NoAnswer},
                      {6, 0, ReadOutcome::CrcError},
                      {6, 0, ReadOutcome::Implausible, 99.0f}, // held back: neither max nor mean
                      {7, 0, ReadOutcome::PowerOnReset, 85.0f, std::nullopt, true},
                      {12, 0, ReadOutcome::Ok, 22.0f, std::nullopt, true},
                      {12, 0, ReadOutcome::Ok, 23.0f},
                      {12, 1, ReadOutcome::NoAnswer, 0, std::nullopt, true}});
        QCOMPARE(fixture.store->today(RomA)->max, 23.0);
        QCOMPARE(fixture.store->today(RomA)->good, 4);
    }
    QCOMPARE(
        rows(path, QStringLiteral("SELECT x.time - %1, s.rom, l.source, l.name, last, raw, min, max, mean,"
                                  " reads, failed, failures FROM samples x JOIN sensors s ON s.id = x.sensor"
                                  " JOIN labels l ON l.id = x.label ORDER BY x.time, s.rom")
                       .arg(H0)),
        expected);
}

void TestHistoryStore::events()
{
    const auto dir = testing::scratchDir(QStringLiteral("events"));
    const QString path = dir->filePath(QStringLiteral("history.db"));
    {
        Fixture fixture(settingsFor(path, 10));
        QVERIFY(fixture.store);
        fixture.play({{1, 0, ReadOutcome::Ok, 31.0f}});
        fixture.now = fixture.now.addSecs(2);
        fixture.state.onListFailed(Source, QStringLiteral("connection refused"), fixture.now);
        fixture.now = fixture.now.addSecs(20);
        fixture.state.onListed(Source);
    }
    QCOMPARE(
        rows(path, QStringLiteral("SELECT time - %1, kind, source, rom, \"from\", \"to\", detail FROM events"
                                  " ORDER BY id")
                       .arg(H0)),
        (QStringList{"1|alarm|cellar|28000000000000A1|ok|high|31",
                     "3|reachability|cellar|-|reachable|unreachable|connection refused",
                     "23|reachability|cellar|-|unreachable|reachable|-"}));
}

void TestHistoryStore::restart()
{
    const auto dir = testing::scratchDir(QStringLiteral("restart"));
    const QString path = dir->filePath(QStringLiteral("history.db"));
    // Now, so that the day's figures come from the store; one interval across both runs.
    const qint64 start = QDateTime::currentSecsSinceEpoch() / 3600 * 3600;
    QVERIFY(!HistoryDatabase::check(path));
    QVERIFY(!QFileInfo::exists(path));
    {
        Fixture fixture(settingsFor(path, 3600), start);
        QVERIFY(fixture.store);
        fixture.play({{1, 0, ReadOutcome::Ok, 20.0f}, {2, 0, ReadOutcome::Ok, 22.0f}});
    }
    QCOMPARE(rows(path, QStringLiteral("SELECT * FROM pragma_application_id, pragma_user_version,"
                                       " pragma_journal_mode")),
             QStringList{QStringLiteral("1364603748|%1|wal").arg(SchemaVersion)});
    Fixture fixture(settingsFor(path, 3600), start);
    QVERIFY(fixture.store);
    const auto seeded = fixture.store->today(RomA);
    QVERIFY(seeded);
    QCOMPARE((QList<double>{seeded->min, seeded->max, seeded->mean, double(seeded->good)}),
             (QList<double>{20, 22, 21, 2}));
    fixture.play({{3, 0, ReadOutcome::Ok, 24.0f}, {4, 0, ReadOutcome::NoAnswer}});
    QCOMPARE(fixture.store->today(RomA)->mean, 22.0);
    fixture.store.reset();
    QCOMPARE(rows(path, QStringLiteral(
                            "SELECT time - %1, last, min, max, mean, reads, failed, failures FROM samples")
                            .arg(start)),
             QStringList{"0|24000|20000|24000|22000|4|1|no_answer:1"});
}

namespace {

enum class Prepare {
    Text,
    OtherDatabase,
    OtherId,
    Newer,
    Corrupt,
    FileMode,
    FolderMode,
    ReadOnlyMount,
    NoFolder
};

} // namespace

void TestHistoryStore::refusals_data()
{
    QTest::addColumn<Prepare>("prepare");
    QTest::addColumn<int>("fault");
    QTest::newRow("text file") << Prepare::Text << int(OpenFault::NotAStore);
    QTest::newRow("another program's tables") << Prepare::OtherDatabase << int(OpenFault::NotAStore);
    QTest::newRow("another application id") << Prepare::OtherId << int(OpenFault::NotAStore);
    QTest::newRow("newer schema") << Prepare::Newer << int(OpenFault::NewerSchema);
    QTest::newRow("damaged") << Prepare::Corrupt << int(OpenFault::Corrupt);
    QTest::newRow("read-only file") << Prepare::FileMode << int(OpenFault::ReadOnly);
    QTest::newRow("read-only folder") << Prepare::FolderMode << int(OpenFault::ReadOnly);
    QTest::newRow("read-only file system") << Prepare::ReadOnlyMount << int(OpenFault::ReadOnly);
    QTest::newRow("missing folder") << Prepare::NoFolder << int(OpenFault::CannotCreate);
}

void TestHistoryStore::refusals()
{
    QFETCH(Prepare, prepare);
    QFETCH(int, fault);
    const bool root = ::geteuid() == 0;
    if (root && (prepare == Prepare::FileMode || prepare == Prepare::FolderMode))
        QSKIP("root writes whatever the mode says");
    const auto dir = testing::scratchDir(QStringLiteral("refusal"));
    const QString folder = dir->filePath(QStringLiteral("store"));
    QVERIFY(QDir().mkpath(folder));
    QString path = folder + QStringLiteral("/history.db");
    bool mounted = false;
    const auto restore = qScopeGuard([&] {
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (mounted)
            run(QStringLiteral("umount"), {folder});
    });
    if (prepare == Prepare::ReadOnlyMount) {
        mounted = root && run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=1m", "tmpfs", folder});
        if (!mounted)
            QSKIP("mounting a file system takes root");
    }
    if (prepare == Prepare::Text) {
        QVERIFY(testing::writeFile(path, "time;sensor 1\n12:00;21.5\n"));
    } else if (prepare == Prepare::OtherDatabase || prepare == Prepare::OtherId) {
        QVERIFY(sql(path, prepare == Prepare::OtherId
                              ? "PRAGMA application_id = 42; PRAGMA user_version = 1"
                              : "CREATE TABLE notes(text TEXT); INSERT INTO notes VALUES('x')"));
    } else if (prepare != Prepare::NoFolder) {
        std::optional<OpenError> error;
        QVERIFY(HistoryDatabase::open(path, HistoryDatabase::Mode::Write, &error));
        if (prepare == Prepare::Newer)
            QVERIFY(sql(path, QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion + 1)));
    }
    if (prepare == Prepare::Corrupt) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(100));
        QVERIFY(file.write(QByteArray(400, '\x5a')) == 400);
    } else if (prepare == Prepare::FileMode) {
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
    } else if (prepare == Prepare::FolderMode) {
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    } else if (prepare == Prepare::ReadOnlyMount) {
        QVERIFY(run(QStringLiteral("mount"), {"-o", "remount,ro", folder}));
    } else if (prepare == Prepare::NoFolder) {
        path = dir->filePath(QStringLiteral("missing/history.db"));
    }
    const auto bytes = [&] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
    };
    const QByteArray before = bytes();
    const QDateTime modified = QFileInfo(path).lastModified();

    const auto checked = HistoryDatabase::check(path);
    std::optional<OpenError> error;
    QVERIFY(!HistoryDatabase::open(path, HistoryDatabase::Mode::Write, &error));
    QVERIFY(error && checked);
    QCOMPARE(int(error->fault), fault);
    QCOMPARE(int(checked->fault), fault);
    QVERIFY2(error->message.contains(QFileInfo(path).absoluteFilePath()), qPrintable(error->message));
    QVERIFY(!HistoryStore::open(settingsFor(path, 10), &error));
    QCOMPARE(bytes(), before);
    QCOMPARE(QFileInfo(path).lastModified(), modified);
}

void TestHistoryStore::foldAndPrune()
{
    const auto dir = testing::scratchDir(QStringLiteral("fold"));
    const QString path = dir->filePath(QStringLiteral("history.db"));
    {
        Fixture fixture(settingsFor(path, 10, 1));
        QVERIFY(fixture.store);
        fixture.play({{5, 0, ReadOutcome::Ok, 10.0f},
                      {15, 0, ReadOutcome::Ok, 12.0f},
                      {16, 0, ReadOutcome::Ok, 14.0f},
                      {17, 0, ReadOutcome::CrcError},
                      {3605, 0, ReadOutcome::Ok, 20.0f},
                      {7200, 0, ReadOutcome::Ok, 30.0f}});
        // Only an event two days on: the samples past a day go, but not those of the hour not yet folded.
        fixture.now = QDateTime::fromSecsSinceEpoch(H0 + 2 * Day, Qt::UTC);
        fixture.state.onListFailed(Source, QStringLiteral("connection refused"), fixture.now);
        fixture.store->flush();
        fixture.play({{2 * Day + 10, 0, ReadOutcome::Ok, 25.0f}});
    }
    QCOMPARE(rows(path, QStringLiteral("SELECT time - %1, label, min, max, mean, good, reads FROM hourly"
                                       " ORDER BY time")
                            .arg(H0)),
             (QStringList{"0|1|10000|14000|12000|3|4", "3600|1|20000|20000|20000|1|1",
                          "7200|1|30000|30000|30000|1|1"}));
    QCOMPARE(rows(path, QStringLiteral("SELECT time - %1 FROM samples ORDER BY time").arg(H0)),
             (QStringList{"7200", QString::number(2 * Day + 10)}));
    QCOMPARE(rows(path, QStringLiteral("SELECT value - %1 FROM meta WHERE key = 'folded_until'").arg(H0)),
             QStringList{QString::number(2 * Day)});
}

void TestHistoryStore::fullDisk()
{
    const auto dir = testing::scratchDir(QStringLiteral("full"));
    const QString folder = dir->filePath(QStringLiteral("disk"));
    QVERIFY(QDir().mkpath(folder));
    if (::geteuid() != 0 ||
        !run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=256k", "tmpfs", folder}))
        QSKIP("a small file system to fill takes root and mount");
    const auto unmount = qScopeGuard([&] { run(QStringLiteral("umount"), {"-l", folder}); });
    const QString path = folder + QStringLiteral("/history.db");
    {
        Fixture fixture(settingsFor(path, 10));
        QVERIFY(fixture.store);
        QSignalSpy notices(fixture.store.get(), &HistoryStore::notice);
        fixture.play({{1, 0, ReadOutcome::Ok, 1.0f}, {11, 0, ReadOutcome::Ok, 2.0f}});
        QTRY_COMPARE_WITH_TIMEOUT(rows(path, QStringLiteral("SELECT count(*) FROM samples")),
                                  QStringList{"1"}, WaitMs);

        QFile filler(folder + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
        // Three intervals end on a full disk, the sweep going on meanwhile.
        fixture.play(
            {{21, 0, ReadOutcome::Ok, 3.0f}, {31, 0, ReadOutcome::Ok, 4.0f}, {41, 0, ReadOutcome::Ok, 5.0f}});
        QTRY_COMPARE_WITH_TIMEOUT(notices.count(), 1, WaitMs);
        QCOMPARE(
            notices.at(0).at(0).toString(),
            QStringLiteral("the history store cannot be written: the disk is full (%1); the sweep and the "
                           "text log go on")
                .arg(path));
        QCOMPARE(fixture.state.source(Source)->sensors.front().goodValue.value_or(0), 5.0f);

        QVERIFY(filler.remove());
        fixture.play({{51, 0, ReadOutcome::Ok, 6.0f}});
        QTRY_COMPARE_WITH_TIMEOUT(notices.count(), 2, WaitMs);
        // Intervals queued before the room was made may be written after it: one to three were held.
        const QRegularExpression again(
            QStringLiteral(
                "^the history store is written again \\(%1\\): [1-3] intervals were held meanwhile, 0 "
                "of them dropped$")
                .arg(QRegularExpression::escape(path)));
        QVERIFY2(again.match(notices.at(1).at(0).toString()).hasMatch(),
                 qPrintable(notices.at(1).at(0).toString()));
    }
    QCOMPARE(rows(path, QStringLiteral("SELECT time - %1, last FROM samples ORDER BY time").arg(H0)),
             (QStringList{"0|1000", "10|2000", "20|3000", "30|4000", "40|5000", "50|6000"}));
}

void TestHistoryStore::migration()
{
    const auto dir = testing::scratchDir(QStringLiteral("migration"));
    const QString path = dir->filePath(QStringLiteral("history.db"));
    QVERIFY(HistoryDatabase::open(path, HistoryDatabase::Mode::Write, nullptr));
    // Version 1 had the same tables but the cursors.
    QVERIFY(sql(path, QStringLiteral("DROP TABLE cursors; PRAGMA user_version = 1; INSERT INTO samples(time,"
                                     " sensor, label, reads, failed) VALUES(7, 1, 1, 1, 0)")));
    QVERIFY(HistoryDatabase::open(path, HistoryDatabase::Mode::Write, nullptr));
    QCOMPARE(rows(path, QStringLiteral("SELECT user_version, (SELECT time FROM samples),"
                                       " (SELECT count(*) FROM cursors) FROM pragma_user_version")),
             QStringList{QStringLiteral("%1|7|0").arg(SchemaVersion)});
}

void TestHistoryStore::outbox()
{
    const auto dir = testing::scratchDir(QStringLiteral("outbox"));
    const QString path = dir->filePath(QStringLiteral("history.db"));
    OutboxPosition saved;
    {
        Fixture fixture(settingsFor(path, 10));
        QVERIFY(fixture.store);
        Outbox& outbox = fixture.store->outbox();
        QSignalSpy written(&outbox, &Outbox::samplesWritten);
        fixture.play({{1, 1, ReadOutcome::Ok, 5.0f}, {12, 0, ReadOutcome::Ok, 21.0f}});
        QTRY_COMPARE_WITH_TIMEOUT(written.count(), 1, WaitMs);
        QCOMPARE(written.at(0).at(0).toLongLong(), 1);
        const QList<OutboxRow> first = outbox.unsent({}, 10);
        QCOMPARE(sent(first), QStringList{"0 B2 1 5 5"});
        saved = first.at(0).position;
        outbox.saveCursor(QStringLiteral("db"), saved);
        outbox.saveCursor(QStringLiteral("db"), {}); // never back
        QCOMPARE(outbox.cursor(QStringLiteral("db")), saved);
        // Stopped within the interval of A's read at 12: its half is written.
    }
    // Started again within it: the half waits for its merge, sent whole and once.
    Fixture fixture(settingsFor(path, 10), H0 + 13);
    Outbox& outbox = fixture.store->outbox();
    QSignalSpy written(&outbox, &Outbox::samplesWritten);
    QCOMPARE(outbox.cursor(QStringLiteral("db")), saved);
    QCOMPARE(outbox.cursor(QStringLiteral("new")), OutboxPosition{});
    QCOMPARE(outbox.countUnsent(saved), 0);
    QCOMPARE(sent(outbox.unsent(saved, 10)), QStringList{});
    fixture.base = H0;
    fixture.play({{15, 0, ReadOutcome::Ok, 23.0f}, {21, 1, ReadOutcome::Ok, 6.0f}});
    QTRY_COMPARE_WITH_TIMEOUT(written.count(), 1, WaitMs);
    QCOMPARE(written.at(0).at(0).toLongLong(), 1);
    QCOMPARE(sent(outbox.unsent(saved, 10)), QStringList{"10 A1 2 21 23"});
    QCOMPARE(sent(outbox.unsent({}, 10)), (QStringList{"0 B2 1 5 5", "10 A1 2 21 23"}));
    QCOMPARE(sent(outbox.unsent({}, 1)), QStringList{"0 B2 1 5 5"});
    QCOMPARE(outbox.countUnsent({}), 2);
}

void TestHistoryStore::outboxLoss()
{
    const auto dir = testing::scratchDir(QStringLiteral("outboxloss"));
    const QString path = dir->filePath(QStringLiteral("history.db"));
    Fixture fixture(settingsFor(path, 10, 1));
    QVERIFY(fixture.store);
    Outbox& outbox = fixture.store->outbox();
    QSignalSpy written(&outbox, &Outbox::samplesWritten);
    QSignalSpy lost(&outbox, &Outbox::samplesLost);
    outbox.setOutputs({QStringLiteral("behind"), QStringLiteral("ahead")});
    fixture.play({{5, 0, ReadOutcome::Ok, 1.0f}, {15, 0, ReadOutcome::Ok, 2.0f}});
    fixture.now = fixture.now.addSecs(20);
    fixture.store->flush();
    QTRY_COMPARE_WITH_TIMEOUT(written.count(), 2, WaitMs);
    const QList<OutboxRow> first = outbox.unsent({}, 10);
    QCOMPARE(sent(first), (QStringList{"0 A1 1 1 1", "10 A1 1 2 2"}));
    outbox.saveCursor(QStringLiteral("ahead"), first.last().position);
    // Two days on, a day kept: both rows go, never sent by "behind" only.
    fixture.play({{2 * Day + 5, 0, ReadOutcome::Ok, 3.0f}});
    fixture.now = fixture.now.addSecs(20);
    fixture.store->flush();
    QTRY_VERIFY_WITH_TIMEOUT(!lost.isEmpty(), WaitMs);
    QCOMPARE(lost.count(), 1);
    QCOMPARE(lost.at(0).mid(0, 4), (QVariantList{QStringLiteral("behind"), 2, H0, H0 + 10}));
    QCOMPARE(lost.at(0).at(4).value<OutboxPosition>(), first.last().position);
    QCOMPARE(outbox.cursor(QStringLiteral("behind")), first.last().position);
    QCOMPARE(rows(path, QStringLiteral("SELECT count(*) FROM samples")), QStringList{"1"});
}

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "tst_historystore.moc"
