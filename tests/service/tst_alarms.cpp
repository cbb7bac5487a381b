// A sensor's alarm from its reading events with a test clock, and the command that hears its changes.
#include "service/outputs/alarms/alarmcommand.h"
#include "service/outputs/alarms/alarmjournal.h"
#include "service/state/statestore.h"
#include "sources/adapter/adapterkind.h"

#include "manualtimer.h"
#include "scratchdir.h"
#include "servicefixture.h"

#include "runtime/localeformats.h"

#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <limits>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace quorvel;
using namespace quorvel::service;
using acquisition::ReadOutcome;

namespace {

const QString Source = QStringLiteral("cellar");
const QString Rom = QStringLiteral("3000000123456728");
const QDateTime T0 = QDateTime::fromSecsSinceEpoch(1'700'000'000);

// One event at a second from T0: a good read of value, a power-on read (NaN), or the stale timer's turn.
struct Event {
    int at;
    float value;
    bool timer = false;
};

SensorSettings limits(std::optional<double> low, std::optional<double> high, int hold = 0)
{
    SensorSettings settings;
    settings.low = low;
    settings.high = high;
    settings.holdSeconds = hold;
    return settings;
}

// A sensor in the given state: high 30, low 0.
SensorState sensorIn(AlarmState state, int slot = 0)
{
    SensorState sensor;
    sensor.source = Source;
    sensor.slot = slot;
    sensor.romCode = Rom;
    sensor.alarm = SensorAlarm(limits(0, 30), T0);
    if (state == AlarmState::Stale)
        sensor.alarm.onSilent(T0);
    else if (state != AlarmState::Ok)
        sensor.alarm.onGood(state == AlarmState::High ? 31.5f : -1.0f, T0);
    return sensor;
}

QString script(const QTemporaryDir& dir, const QString& body)
{
    const QString path = dir.filePath(QStringLiteral("alarm.sh"));
    const bool made = testing::writeFile(path, "#!/bin/sh\n" + body.toUtf8() + '\n') &&
                      QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return made ? path : QString();
}

QStringList linesOf(const QString& path)
{
    return QString::fromUtf8(testing::readAll(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::NoDotAndDotDot).size());
}

// Running, not a zombie waiting for its parent.
bool alive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && !stat.readAll().split(')').last().startsWith(" Z");
}

} // namespace

Q_DECLARE_METATYPE(SensorSettings)

class TestAlarms : public QObject {
    Q_OBJECT
private slots:
    void alarmFollowsReadings_data();
    void alarmFollowsReadings();
    void commandReports_data();
    void commandReports();
    void commandGetsTheFactsOneAtATime();
    void commandStartsAreSpaced();
    void commandsWaitTheirTurn_data();
    void commandsWaitTheirTurn();
    void commandGroupEnds_data();
    void commandGroupEnds();
    void journalLinesAreSpaced_data();
    void journalLinesAreSpaced();
};

void TestAlarms::alarmFollowsReadings_data()
{
    QTest::addColumn<SensorSettings>("settings");
    QTest::addColumn<QList<Event>>("events");
    QTest::addColumn<QStringList>("changes"); // state@second
    const float powerOn = std::numeric_limits<float>::quiet_NaN();
    QTest::newRow("crossing high") << limits({}, 30) << QList<Event>{{0, 25}, {10, 30}, {20, 30.5}}
                                   << QStringList{"high@20"};
    QTest::newRow("high held") << limits({}, 30, 60) << QList<Event>{{10, 31}, {40, 31}, {69, 31}, {70, 31}}
                               << QStringList{"high@70"};
    QTest::newRow("hold restarts after a reading inside")
        << limits({}, 30, 60) << QList<Event>{{10, 31}, {40, 29}, {70, 31}, {100, 31}} << QStringList{};
    QTest::newRow("back inside within the hysteresis")
        << limits({}, 30) << QList<Event>{{10, 31}, {20, 29.75}, {30, 29.5}}
        << QStringList{"high@10", "ok@30"};
    QTest::newRow("low, and back") << limits(5, 30) << QList<Event>{{10, 4.5}, {20, 5.25}, {30, 5.5}}
                                   << QStringList{"low@10", "ok@30"};
    QTest::newRow("power-on 85 is no reading")
        << limits({}, 30) << QList<Event>{{10, 20}, {20, powerOn}, {30, powerOn}} << QStringList{};
    QTest::newRow("stale after silence, ok after a good read")
        << limits({}, 30) << QList<Event>{{0, 20}, {299, 0, true}, {400, 0, true}, {500, 20}, {900, 0, true}}
        << QStringList{"stale@300", "ok@500", "stale@800"};
    QTest::newRow("never read is stale")
        << limits({}, 30) << QList<Event>{{300, 0, true}} << QStringList{"stale@300"};
    QTest::newRow("stale, back over high with a hold: ok until the hold is over")
        << limits({}, 30, 60) << QList<Event>{{400, 0, true}, {500, 31}, {560, 31}}
        << QStringList{"stale@300", "ok@500", "high@560"};
}

void TestAlarms::alarmFollowsReadings()
{
    QFETCH(SensorSettings, settings);
    QFETCH(QList<Event>, events);
    QFETCH(QStringList, changes);
    QDateTime now = T0;
    StateStore store(300, false);
    store.setClock([&now] { return now; });
    auto timer = std::make_unique<testing::ManualTimer>();
    testing::ManualTimer& stale = *timer;
    store.setStaleTimer(std::move(timer));
    store.addSource(Source, acquisition::adapterKind(), QStringLiteral("127.0.0.1"), {{Rom, {}}}, {}, T0,
                    {{Rom, settings}});
    QStringList seen;
    connect(&store, &StateStore::alarmChanged, this, [&](const SensorState& sensor, AlarmState) {
        seen << QStringLiteral("%1@%2")
                    .arg(alarmLabel(sensor.alarm.state()))
                    .arg(T0.secsTo(sensor.alarm.since()));
    });
    for (const Event& event : events) {
        now = T0.addSecs(event.at);
        if (event.timer) {
            stale.fire();
            continue;
        }
        const bool powerOn = std::isnan(event.value);
        const ReadOutcome outcome = powerOn ? ReadOutcome::PowerOnReset : ReadOutcome::Ok;
        store.onRead(Source,
                     {u"127.0.0.1"_qs, 0, Rom, {}, outcome, powerOn ? 85.0f : event.value, {}, now, now});
    }
    QCOMPARE(seen, changes);
    // The timer waits for the sensor's next due time whenever it is not stale.
    QCOMPARE(stale.isHolding(), store.source(Source)->sensors.front().alarm.state() != AlarmState::Stale);
}

void TestAlarms::commandReports_data()
{
    QTest::addColumn<QString>("body"); // empty: a program that does not exist
    QTest::addColumn<QString>("told"); // what the journal gets for each of two changes, once
    QTest::newRow("exit status and first line of standard error")
        << "echo 'no route to the mail host' >&2; echo second >&2; exit 3"
        << "alarm command for source cellar sensor 1 failed: exit status 3: no route to the mail host";
    QTest::newRow("killed when it hangs")
        << "exec sleep 60"
        << "alarm command for source cellar sensor 1 failed: killed after 0.2 s";
    QTest::newRow("does not exist") << QString() << "alarm command /nonexistent/notify cannot be started";
    QTest::newRow("succeeds") << "exit 0" << QString();
}

void TestAlarms::commandReports()
{
    QFETCH(QString, body);
    QFETCH(QString, told);
    const auto dir = testing::scratchDir(QStringLiteral("alarm"));
    QStringList messages;
    AlarmCommand command({body.isEmpty() ? QStringLiteral("/nonexistent/notify") : script(*dir, body)},
                         [&messages](const QString& line) { messages << line; }, {200, 0});
    QSignalSpy finished(&command, &AlarmCommand::finished);
    command.onAlarmChanged(sensorIn(AlarmState::High), AlarmState::Ok);
    QVERIFY(finished.wait(20000));
    command.onAlarmChanged(sensorIn(AlarmState::Ok), AlarmState::High);
    QVERIFY(finished.size() == 2 || finished.wait(20000));
    QCOMPARE(command.running(), 0);
    QCOMPARE(messages.size(), told.isEmpty() ? 0 : body.isEmpty() ? 1 : 2);
    for (const QString& message : messages)
        QVERIFY2(message.startsWith(told), qPrintable(message));
}

// Three changes while one runs: the first is delivered, then only the latest, each with its facts.
void TestAlarms::commandGetsTheFactsOneAtATime()
{
    const auto dir = testing::scratchDir(QStringLiteral("alarm"));
    const QString log = dir->filePath(QStringLiteral("log"));
    const QString release = dir->filePath(QStringLiteral("release"));
    const QString program = script(
        *dir,
        QStringLiteral("echo start >> '%1'\n"
                       "while [ ! -e '%2' ]; do sleep 0.05; done\n"
                       "env | grep -E '^QUORVEL_(SOURCE|SENSOR|NAME|ROM|ALARM|PREVIOUS|VALUE|LIMIT|SINCE)=' "
                       "| sort >> '%1'")
            .arg(log, release));
    QStringList messages;
    AlarmCommand command({program}, [&messages](const QString& line) { messages << line; }, {20000, 0});
    QSignalSpy finished(&command, &AlarmCommand::finished);
    command.onAlarmChanged(sensorIn(AlarmState::High), AlarmState::Ok);
    command.onAlarmChanged(sensorIn(AlarmState::Ok), AlarmState::High);
    command.onAlarmChanged(sensorIn(AlarmState::Low), AlarmState::Ok);
    QCOMPARE(command.running(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(linesOf(log).contains(QStringLiteral("start")), 20000);
    QFile(release).open(QIODevice::WriteOnly);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 20000);
    const QString facts =
        QStringLiteral("start,QUORVEL_ALARM=%1,QUORVEL_LIMIT=%2,QUORVEL_NAME=Sensor 1,"
                       "QUORVEL_PREVIOUS=ok,QUORVEL_ROM=%4,QUORVEL_SENSOR=1,QUORVEL_SINCE=%5,"
                       "QUORVEL_SOURCE=cellar,QUORVEL_VALUE=%3");
    const QString since = runtime::isoWithOffset(T0);
    QCOMPARE(linesOf(log), (facts.arg(u"high", u"30", u"31.5", Rom, since) + ',' +
                            facts.arg(u"low", u"0", u"-1", Rom, since))
                               .split(','));
    QCOMPARE(messages, QStringList());
}

void TestAlarms::commandStartsAreSpaced()
{
    const auto dir = testing::scratchDir(QStringLiteral("alarm"));
    const QString log = dir->filePath(QStringLiteral("log"));
    const int spacingMs = 600;
    AlarmCommand command(
        {script(*dir, QStringLiteral("echo $QUORVEL_SENSOR $(date +%s%3N) >> '%1'").arg(log))},
        [](const QString&) {}, {20000, spacingMs});
    QSignalSpy finished(&command, &AlarmCommand::finished);
    // Before the first start: the second start for the sensor comes a spacing after it at the earliest.
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    command.onAlarmChanged(sensorIn(AlarmState::High), AlarmState::Ok);
    command.onAlarmChanged(sensorIn(AlarmState::High, 1), AlarmState::Ok); // another sensor: not held
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 20000);
    command.onAlarmChanged(sensorIn(AlarmState::Ok), AlarmState::High);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 3, 20000);
    QStringList lines = linesOf(log);
    QCOMPARE(lines.size(), 3);
    // The held start is the last: both others had ended before its change.
    const QStringList held = lines.takeLast().split(QLatin1Char(' '));
    QCOMPARE(held.at(0), QStringLiteral("1"));
    const qint64 after = held.at(1).toLongLong() - before;
    QVERIFY2(after >= spacingMs, qPrintable(QString::number(after)));
    lines.sort();
    QCOMPARE(QString(lines.at(0).front()) + lines.at(1).front(), QStringLiteral("12"));
}

void TestAlarms::commandsWaitTheirTurn_data()
{
    QTest::addColumn<int>("sensors");
    QTest::addColumn<int>("cap");
    QTest::addColumn<bool>("usedUp"); // no descriptor left at the changes, some again later
    QTest::newRow("one at a time: first waiting, first started") << 5 << 1 << false;
    QTest::newRow("forty at once under the cap") << 40 << AlarmCommand::MaxRunning << false;
    QTest::newRow("refused for lack of descriptors, tried again") << 3 << 2 << true;
}

void TestAlarms::commandsWaitTheirTurn()
{
    QFETCH(int, sensors);
    QFETCH(int, cap);
    QFETCH(bool, usedUp);
    const auto dir = testing::scratchDir(QStringLiteral("alarm"));
    const QString log = dir->filePath(QStringLiteral("log"));
    QStringList messages;
    AlarmCommand command(
        {script(*dir, QStringLiteral("echo $QUORVEL_SENSOR >> '%1'; sleep 0.2; echo - >> '%1'").arg(log))},
        [&messages](const QString& line) { messages << line; }, {20000, 0, cap, 50});
    QSignalSpy finished(&command, &AlarmCommand::finished);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    std::vector<int> taken;
    const auto release = [&] {
        for (const int fd : std::exchange(taken, {}))
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
    };
    const auto guard = qScopeGuard(release);
    if (usedUp) {
        const rlimit low{rlim_t(openDescriptors() + 8), saved.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;)
            taken.push_back(fd);
    }
    const int before = openDescriptors();
    for (int slot = 0; slot < sensors; ++slot)
        command.onAlarmChanged(sensorIn(AlarmState::High, slot), AlarmState::Ok);
    QCOMPARE(command.running(), usedUp ? 0 : std::min(sensors, cap));
    QVERIFY(openDescriptors() - before <= command.running() * AlarmCommand::DescriptorsPerCommand);
    QTest::qWait(usedUp ? 200 : 0);
    release();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), sensors, 60000);
    QCOMPARE(messages.size(), usedUp ? 1 : 0);
    // Each sensor's command once; between a command's two lines fewer than the cap others start.
    QStringList started, expected;
    for (const QString& line : linesOf(log)) {
        started << line;
        QVERIFY2(started.count(u"-"_qs) * 2 >= started.size() - cap, qPrintable(started.join(' ')));
    }
    started.removeAll(u"-"_qs);
    if (cap > 1) // several at once: started in any order
        std::ranges::sort(started, {}, [](const QString& sensor) { return sensor.toInt(); });
    for (int sensor = 1; sensor <= sensors; ++sensor)
        expected << QString::number(sensor);
    QCOMPARE(started, expected);
}

void TestAlarms::commandGroupEnds_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("atTheEnd"); // of the service, before the time limit
    QTest::addColumn<QString>("told");
    const QString waits = QStringLiteral("sleep 1000 & echo $! > \"$1\"; wait");
    const QString leaves = QStringLiteral("sleep 1000 & echo $! > \"$1\"; exit 0");
    const QString killed = QStringLiteral("alarm command for source cellar sensor 1 ");
    QTest::newRow("child waited for, at the limit")
        << waits << false << killed + "failed: killed after 0.3 s";
    QTest::newRow("child left behind, at the limit")
        << leaves << false << killed + "left processes behind: killed after 0.3 s";
    QTest::newRow("child waited for, at the service's end") << waits << true << QString();
    QTest::newRow("child left behind, at the service's end") << leaves << true << QString();
}

void TestAlarms::commandGroupEnds()
{
    QFETCH(QString, body);
    QFETCH(bool, atTheEnd);
    QFETCH(QString, told);
    const auto dir = testing::scratchDir(QStringLiteral("alarm"));
    const QString pidFile = dir->filePath(QStringLiteral("pid"));
    QStringList messages;
    auto command = std::make_unique<AlarmCommand>(
        QStringList{script(*dir, body), pidFile}, [&messages](const QString& line) { messages << line; },
        AlarmCommand::Bounds{atTheEnd ? 60000 : 300, 0});
    command->onAlarmChanged(sensorIn(AlarmState::High), AlarmState::Ok);
    QTRY_VERIFY_WITH_TIMEOUT(linesOf(pidFile).size() == 1, 20000);
    const qint64 child = linesOf(pidFile).front().toLongLong();
    const auto guard = qScopeGuard([child] { alive(child) && ::kill(pid_t(child), SIGKILL); });
    if (atTheEnd)
        command.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!alive(child), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(messages, told.isEmpty() ? QStringList() : QStringList{told}, 20000);
}

void TestAlarms::journalLinesAreSpaced_data()
{
    // A change of sensor 1 (@2: 2, @r: another ROM) or its spacing's end.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("lines"); // sensor, state, previous state, and the count told
    QTest::newRow("hovering: the rest as one line at the spacing's end")
        << QStringList{"high", "ok", "high", "ok", "end"}
        << QStringList{"1 high ok", "1 ok high the last of 3 changes in 10 s"};
    QTest::newRow("one held change as it was")
        << QStringList{"high", "ok", "end"} << QStringList{"1 high ok", "1 ok high"};
    QTest::newRow("after a quiet spell at once")
        << QStringList{"high", "end", "low"} << QStringList{"1 high ok", "1 low high"};
    QTest::newRow("a held line starts the spacing again")
        << QStringList{"high", "ok", "end", "high"} << QStringList{"1 high ok", "1 ok high"};
    QTest::newRow("another sensor in its place after a reload its own")
        << QStringList{"high", "high@r"} << QStringList{"1 high ok", "1 high ok"};
    QTest::newRow("each sensor its own") << QStringList{"high", "high@2", "ok", "end@2", "end"}
                                         << QStringList{"1 high ok", "2 high ok", "1 ok high"};
}

void TestAlarms::journalLinesAreSpaced()
{
    QFETCH(QStringList, events);
    QFETCH(QStringList, lines);
    const QRegularExpression told(
        QStringLiteral("sensor (\\d) .*: (\\w+) since .*, was (\\w+).*?(?:; (the last .*))?$"));
    QStringList seen;
    std::vector<testing::ManualTimer*> timers; // by the sensors' first change
    AlarmJournal journal(
        [&](const QString& line) { seen << told.match(line).capturedTexts().mid(1).join(' '); },
        AlarmSpacingMs,
        [&timers] { return std::unique_ptr<runtime::Timer>(timers.emplace_back(new testing::ManualTimer)); });
    std::map<QString, AlarmState> states; // by sensor
    for (const QString& event : events) {
        const int slot = event.endsWith(QLatin1String("@2")) ? 1 : 0;
        if (event.startsWith(QLatin1String("end"))) {
            QVERIFY(timers.at(slot)->isHolding() && timers.at(slot)->interval() == AlarmSpacingMs);
            timers.at(slot)->fire();
            continue;
        }
        const AlarmState state = event.startsWith(QLatin1String("ok"))    ? AlarmState::Ok
                                 : event.startsWith(QLatin1String("low")) ? AlarmState::Low
                                                                          : AlarmState::High;
        SensorState sensor = sensorIn(state, slot);
        sensor.romCode += event.endsWith(QLatin1String("@r")) ? QStringLiteral("0") : QString();
        journal.onAlarmChanged(sensor, std::exchange(states[event.section('@', 1)], state));
    }
    QCOMPARE(seen, lines);
}

QTEST_GUILESS_MAIN(TestAlarms)
#include "tst_alarms.moc"
