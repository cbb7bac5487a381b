#include "manualtimer.h"
#include "programfixture.h"

#include "service/app/sourcerunner.h"
#include "service/outputs/journal/systemdstatus.h"
#include "service/state/statestore.h"

#include <QSignalSpy>
#include <QTest>

using namespace quorvel;
using namespace quorvel::acquisition;
using namespace quorvel::testing;

class TestSystemdStatus : public QObject {
    Q_OBJECT

private slots:
    void reachabilityToldOnce_data();
    void reachabilityToldOnce();
    void statusAtMostOnceASecond_data();
    void statusAtMostOnceASecond();
};

void TestSystemdStatus::reachabilityToldOnce_data()
{
    QTest::addColumn<int>("sensors");
    QTest::addColumn<QString>("answers"); // per read: 1 answered, 0 not
    QTest::addColumn<QStringList>("told");
    const QStringList down{"the adapter at 127.0.0.1:8080 is unreachable: Connection refused"};
    const QStringList downAndUp = down + QStringList{"the adapter at 127.0.0.1:8080 answers again"};
    QTest::newRow("one sensor silent each sweep") << 13 << "1101101101" << QStringList{};
    QTest::newRow("two in a row") << 13 << "1100111" << QStringList{};
    QTest::newRow("three in a row") << 13 << "1000" << down;
    QTest::newRow("and back") << 13 << "10000001" << downAndUp;
    QTest::newRow("told once each way") << 13 << "0001000" << QStringList(downAndUp + down);
    // A list shorter than the run judges by its length.
    QTest::newRow("one sensor") << 1 << "0" << down;
    QTest::newRow("two sensors") << 2 << "1001" << downAndUp;
}

void TestSystemdStatus::reachabilityToldOnce()
{
    QFETCH(int, sensors);
    QFETCH(QString, answers);
    QFETCH(QStringList, told);
    QStringList messages;
    service::StateStore store(300, false);
    const QList<ListedSensor> listed = builtInSensors().first(sensors);
    store.addSource(Source, Kind, Adapter, listed, {});
    QDateTime since; // of the last outage told
    connect(&store, &service::StateStore::reachabilityChanged, this,
            [&](const service::SourceState& source, bool byReads) {
                QVERIFY(byReads);
                messages << service::reachabilityNotice(source);
                if (!source.reachable())
                    since = source.reachability.since();
            });
    QDateTime when = QDateTime::fromSecsSinceEpoch(1'700'000'000);
    QDateTime firstSilent;
    for (qsizetype i = 0; i < answers.size(); ++i) {
        const bool answered = answers.at(i) == QLatin1Char('1');
        if (!answered && (i == 0 || answers.at(i - 1) == QLatin1Char('1')))
            firstSilent = when;
        store.onRead(Source,
                     readOf(int(i) % sensors, answered ? ReadOutcome::Ok : ReadOutcome::NoAnswer, when));
        when = when.addSecs(10);
    }
    QCOMPARE(messages, told);
    QCOMPARE(store.source(Source)->reachable(),
             told.isEmpty() || told.last().endsWith(QLatin1String("again")));
    // Since when: the first request of the run that got no answer.
    if (since.isValid())
        QCOMPARE(since, firstSilent);
}

void TestSystemdStatus::statusAtMostOnceASecond_data()
{
    // Steps "t:event" at t milliseconds: sweep, down, up (by the reads), unlisted, listed, removed, or fire
    // (the held text's timer).
    QTest::addColumn<QStringList>("steps");
    // "N@t": the text of the Nth sweep, which ended at t; or the outage.
    QTest::addColumn<QStringList>("sent");
    const QString down = QStringLiteral("down");
    QTest::newRow("first sweep at once") << QStringList{"0:sweep"} << QStringList{"1@0"};
    QTest::newRow("a fast sweep held, the latest sent")
        << QStringList{"0:sweep", "10:sweep", "20:sweep", "1000:fire"} << QStringList{"1@0", "3@20"};
    QTest::newRow("a slow sweep sent at once")
        << QStringList{"0:sweep", "1500:sweep"} << QStringList{"1@0", "2@1500"};
    QTest::newRow("nothing held, nothing sent") << QStringList{"0:sweep", "1000:fire"} << QStringList{"1@0"};
    QTest::newRow("outage shown, sweeps kept back")
        << QStringList{"0:sweep", "1200:down", "2400:sweep", "3600:sweep"} << QStringList{"1@0", down};
    QTest::newRow("back: the latest sweep")
        << QStringList{"0:sweep", "1200:down", "2400:sweep", "3600:up"} << QStringList{"1@0", down, "2@2400"};
    QTest::newRow("outage held behind a sweep")
        << QStringList{"0:sweep", "100:down", "1000:fire"} << QStringList{"1@0", down};
    QTest::newRow("a source that cannot list its sensors")
        << QStringList{"0:sweep", "1200:unlisted", "2400:listed"} << QStringList{"1@0", down, "1@0"};
    QTest::newRow("listed, but its reads still get no answer")
        << QStringList{"0:sweep", "1200:down", "1300:unlisted", "2400:listed", "3600:up"}
        << QStringList{"1@0", down, "1@0"};
    QTest::newRow("the outage leaves with its source")
        << QStringList{"0:sweep", "1200:down", "2400:removed"} << QStringList{"1@0", down, "1@0"};
}

void TestSystemdStatus::statusAtMostOnceASecond()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, sent);
    QStringList got;
    service::SystemdStatus status([&](const QString& text) { got << text; });
    service::StateStore store(300, false);
    store.addSource(Source, Kind, Adapter, builtInSensors().first(1), {});
    const auto reachability = [&] { status.onReachability(store); };
    connect(&store, &service::StateStore::reachabilityChanged, this, reachability);
    connect(&store, &service::StateStore::sourceRemoved, this, reachability);
    qint64 now = 0;
    status.setClock([&] { return now; });
    auto timer = std::make_unique<ManualTimer>();
    ManualTimer* held = timer.get();
    status.setTimer(std::move(timer));
    const QDateTime since = QDateTime::fromSecsSinceEpoch(1'700'000'000);
    quint64 sweeps = 0;
    for (const QString& step : steps) {
        now = step.section(QLatin1Char(':'), 0, 0).toLongLong();
        const QString event = step.section(QLatin1Char(':'), 1);
        if (event == QLatin1String("sweep"))
            status.onSweep({Adapter, {}, since.addMSecs(now), std::nullopt, 0, {}}, ++sweeps);
        else if (event == QLatin1String("down") || event == QLatin1String("up"))
            store.onRead(
                Source,
                readOf(0, event == QLatin1String("up") ? ReadOutcome::Ok : ReadOutcome::NoAnswer, since));
        else if (event == QLatin1String("unlisted"))
            store.onListFailed(Source, QStringLiteral("Connection refused"), since);
        else if (event == QLatin1String("listed"))
            store.onListed(Source);
        else if (event == QLatin1String("removed"))
            store.removeSource(Source);
        else
            held->fire();
    }
    QStringList expected;
    for (const QString& item : sent)
        expected << (item == QLatin1String("down")
                         ? QStringLiteral("The adapter at %1 does not answer since %2: Connection refused")
                               .arg(Adapter, since.toString(Qt::ISODate))
                         : QStringLiteral("Last sweep at %1; %2 %3")
                               .arg(since.addMSecs(item.section(u'@', 1).toLongLong()).toString(Qt::ISODate),
                                    item.section(u'@', 0, 0),
                                    item.startsWith(QLatin1String("1@")) ? QStringLiteral("sweep")
                                                                         : QStringLiteral("sweeps")));
    QCOMPARE(got, expected);
}

QTEST_GUILESS_MAIN(TestSystemdStatus)
#include "tst_systemdstatus.moc"
