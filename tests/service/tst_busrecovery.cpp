#include "service/app/busrecovery.h"
#include "service/state/statestore.h"

#include "fakes.h"

#include "runtime/timer.h"
#include "sources/kinds/sourcekinds.h"

#include <QCoreApplication>
#include <QTest>

using namespace quorvel;
using acquisition::BusAction;
using service::BusRecovery;

namespace {

const QDateTime Start = QDateTime::fromSecsSinceEpoch(1'700'000'000);

// A timer on the test's simulated clock: due when the clock passes its time.
struct ClockTimer final : runtime::Timer {
    ClockTimer(const QDateTime& now, QObject* parent) : Timer(parent), now(now) {}
    void start(int ms) override { due = now.addMSecs(ms); }
    void stop() override { due = QDateTime(); }
    [[nodiscard]] bool isActive() const override { return due.isValid(); }
    const QDateTime& now;
    QDateTime due;
};

// A recovery of source "s" over a fake reader, on a simulated clock that moves a second at a time with a
// failed read every ten seconds until goodAt.
struct Bench {
    QDateTime now = Start;
    testing::FakeReader reader;
    service::StateStore store{300, false};
    QStringList lines;
    QList<qint64> lineTimes; // seconds from the start
    QList<qint64> searches;  // when a search was asked
    std::vector<ClockTimer*> timers;
    std::unique_ptr<BusRecovery> recovery;

    explicit Bench(const service::RecoverySettings& settings, int killAfterMs = 30'000)
    {
        store.addSource(QStringLiteral("s"), *acquisition::sourceKinds().front(), QStringLiteral("bus"), {},
                        {});
        BusRecovery::Parts parts;
        parts.commandKillAfterMs = killAfterMs;
        parts.clock = [this] { return now; };
        parts.makeTimer = [this](QObject* owner) {
            timers.push_back(new ClockTimer(now, owner));
            return timers.back();
        };
        recovery = std::make_unique<BusRecovery>(
            QStringLiteral("s"), settings, reader, store,
            [this](const QString& line) {
                lines << line;
                lineTimes << Start.secsTo(now);
            },
            parts);
        recovery->start();
    }
    service::BusHealth& health() { return store.source(QStringLiteral("s"))->health; }
    // Runs to `seconds` from the start; a good read at goodAt (negative: none).
    // A command runs in real time: waitForCommand holds the simulated clock until it ended.
    void run(qint64 seconds, qint64 goodAt, bool waitForCommand = true)
    {
        for (qint64 t = Start.secsTo(now) + 1; t <= seconds; ++t) {
            now = Start.addSecs(t);
            const qsizetype asked = reader.actions.size();
            for (ClockTimer* timer : timers)
                if (timer->isActive() && timer->due <= now) {
                    timer->stop();
                    emit timer->timeout();
                }
            for (qsizetype i = asked; i < reader.actions.size(); ++i)
                if (reader.actions[i].first == BusAction::Search)
                    searches << t;
            QCoreApplication::processEvents();
            if (waitForCommand)
                QTRY_VERIFY_WITH_TIMEOUT(!recovery->commandRuns(), 10'000);
            if (t == goodAt)
                recovery->onRead(true);
            else if (t % 10 == 0)
                recovery->onRead(false);
        }
    }
    QStringList counts()
    {
        QStringList out;
        for (const auto& [key, n] : health().recoveries)
            out << QStringLiteral("%1/%2=%3").arg(key.first, key.second).arg(n);
        return out;
    }
};

} // namespace

class TestBusRecovery : public QObject {
    Q_OBJECT
private slots:
    void ladder_data();
    void ladder();
    void staysDown_data();
    void staysDown();
    void commandOutlastingAfter();
};

void TestBusRecovery::ladder_data()
{
    QTest::addColumn<QList<BusAction>>("offered");
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QString>("rebind");
    QTest::addColumn<QString>("actProblem");
    QTest::addColumn<qint64>("goodAt");
    QTest::addColumn<QStringList>("counts");
    QTest::addColumn<QStringList>("lines");

    const QList<BusAction> search{BusAction::Search};
    const QList<BusAction> both{BusAction::Search, BusAction::Rebind};
    QTest::newRow("down after 60 s, the search recovers")
        << search << QStringList() << QString() << QString() << qint64(70)
        << QStringList{"search/recovered=1"}
        << QStringList{"source s: no good read for 1 min; trying a search of the bus",
                       "source s: the bus reads again after 1 min 10 s down (recovered by the search)"};
    QTest::newRow("a good read at 59 s: not down")
        << search << QStringList() << QString() << QString() << qint64(59) << QStringList() << QStringList();
    QTest::newRow("nothing offered: nothing tried, told back by itself")
        << QList<BusAction>() << QStringList() << "dev" << QString() << qint64(300) << QStringList()
        << QStringList{"source s: the bus reads again after 5 min down (by itself)"};
    QTest::newRow("rebind offered without a device: skipped, then the pause")
        << both << QStringList() << QString() << QString() << qint64(130)
        << QStringList{"search/not_recovered=1"}
        << QStringList{"source s: no good read for 1 min; trying a search of the bus",
                       "source s: still down after 2 min; tried search: not recovered; next try in 2 min",
                       "source s: the bus reads again after 2 min 10 s down (by itself)"};
    QTest::newRow("search, command, rebind in order, one per after")
        << both << QStringList{"true"} << "onewire@0" << QString() << qint64(190)
        << QStringList{"command/not_recovered=1", "rebind/recovered=1", "search/not_recovered=1"}
        << QStringList{"source s: no good read for 1 min; trying a search of the bus",
                       "source s: no good read for 2 min; trying the command",
                       "source s: no good read for 3 min; trying a rebind of the bus master",
                       "source s: the bus reads again after 3 min 10 s down (recovered by the rebind)"};
    QTest::newRow("a search that fails is counted failed at once")
        << search << QStringList() << QString() << "no bus master" << qint64(70)
        << QStringList{"search/failed=1"}
        << QStringList{"source s: no good read for 1 min; trying a search of the bus",
                       "source s: a search of the bus failed: no bus master",
                       "source s: the bus reads again after 1 min 10 s down (by itself)"};
    QTest::newRow("a command that fails: its exit status and first line of standard error")
        << QList<BusAction>() << QStringList{"sh", "-c", "echo no gpio line >&2; exit 3"} << QString()
        << QString() << qint64(70) << QStringList{"command/failed=1"}
        << QStringList{"source s: no good read for 1 min; trying the command",
                       "source s: the command failed: exit status 3: no gpio line",
                       "source s: the bus reads again after 1 min 10 s down (by itself)"};
    QTest::newRow("recovery off: down kept, nothing tried, nothing told")
        << search << QStringList() << "off" << QString() << qint64(300) << QStringList() << QStringList();
    QTest::newRow("a command that cannot be started")
        << QList<BusAction>() << QStringList{"/nonexistent/cut-power"} << QString() << QString() << qint64(70)
        << QStringList{"command/failed=1"} << QStringList();
}

void TestBusRecovery::ladder()
{
    QFETCH(QList<BusAction>, offered);
    QFETCH(QStringList, command);
    QFETCH(QString, rebind);
    QFETCH(QString, actProblem);
    QFETCH(qint64, goodAt);
    QFETCH(QStringList, counts);
    QFETCH(QStringList, lines);

    service::RecoverySettings settings;
    settings.command = command;
    settings.rebindDevice = rebind;
    settings.enabled = rebind != QLatin1String("off");
    Bench bench(settings);
    bench.reader.offered = offered;
    bench.reader.actProblem = actProblem;
    bench.run(goodAt - 1, -1);
    QCOMPARE(bench.health().downSince.isValid(), goodAt > 60);
    bench.run(goodAt + 5, goodAt);

    QCOMPARE(bench.counts(), counts);
    if (!lines.isEmpty() || command.isEmpty())
        QCOMPARE(bench.lines, lines);
    QVERIFY(!bench.health().downSince.isValid());
    if (offered.contains(BusAction::Rebind) && !rebind.isEmpty())
        QCOMPARE(bench.reader.actions.value(1), std::pair(BusAction::Rebind, rebind));
}

// A command still running when `after` ran out is waited for: its kill is told and counted as its failure,
// and only then does the pause begin.
void TestBusRecovery::commandOutlastingAfter()
{
    service::RecoverySettings settings;
    settings.afterSeconds = 10;
    settings.command = {QStringLiteral("sleep"), QStringLiteral("30")};
    Bench bench(settings, 500);
    bench.run(40, -1, false);
    QCOMPARE(bench.lines.size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(bench.counts(), QStringList{"command/failed=1"}, 10'000);
    QCOMPARE(bench.lines.size(), 3);
    QVERIFY2(bench.lines[1].startsWith(QLatin1String("source s: the command failed: ")),
             qPrintable(bench.lines[1]));
    QVERIFY2(bench.lines[2].contains(QLatin1String("next try in 20 s")), qPrintable(bench.lines[2]));
}

void TestBusRecovery::staysDown_data()
{
    QTest::addColumn<int>("after");
    QTest::newRow("after 10 s: the journal bound holds back") << 10;
    QTest::newRow("after 1000 s: the pause capped from the second round") << 1000;
}

void TestBusRecovery::staysDown()
{
    QFETCH(int, after);
    service::RecoverySettings settings;
    settings.afterSeconds = after;
    settings.rebindDevice = QStringLiteral("onewire@0");
    Bench bench(settings);
    bench.reader.offered = {BusAction::Search, BusAction::Rebind};
    bench.reader.actProblem = QStringLiteral("EIO");
    const qint64 day = 24 * 3600;
    bench.run(day, -1);

    // One round is search, then rebind, `after` apart; the pause after it doubles from 2 × after to an hour.
    QVERIFY(bench.searches.size() > 3);
    QCOMPARE(bench.searches.front(), qint64(after));
    for (qsizetype round = 1; round < bench.searches.size(); ++round) {
        const qint64 pause = std::min<qint64>(qint64(after) << std::min<qsizetype>(round, 20), 3600);
        QCOMPARE(bench.searches[round] - bench.searches[round - 1], 2 * after + pause);
    }
    // Listed again (a sensor found, a reload that keeps the source): its bus's health stays.
    bench.store.addSource(QStringLiteral("s"), *acquisition::sourceKinds().front(), QStringLiteral("bus"), {},
                          {});
    const auto n = quint64(bench.searches.size());
    QCOMPARE(bench.counts(), QStringList() << QStringLiteral("rebind/failed=%1").arg(n)
                                           << QStringLiteral("search/failed=%1").arg(n));
    QCOMPARE(bench.health().downSince, Start);

    // The journal: no hour holds more than ten lines; what was held back is said.
    for (const qint64 when : bench.lineTimes)
        QVERIFY(std::count_if(bench.lineTimes.begin(), bench.lineTimes.end(),
                              [when](qint64 other) { return other >= when && other < when + 3600; }) <= 10);
    const bool heldBack = std::any_of(bench.lines.begin(), bench.lines.end(), [](const QString& line) {
        return line.contains(QLatin1String("more recovery lines held back"));
    });
    QCOMPARE(heldBack, after == 10);
    QVERIFY(bench.lines.last().startsWith(QLatin1String("source s: still down after")));
    bench.run(day + 1, day + 1);
    QVERIFY2(bench.lines.last().startsWith(QLatin1String("source s: the bus reads again after 24 h")),
             qPrintable(bench.lines.last()));
}

QTEST_GUILESS_MAIN(TestBusRecovery)
#include "tst_busrecovery.moc"
