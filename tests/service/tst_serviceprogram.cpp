#include "brokerprocess.h"
#include "fakes.h"
#include "manualtimer.h"
#include "scratchdir.h"
#include "servicefixture.h"
#include "simulatorprocess.h"

#include "logfile/logrecorder.h"
#include "logfile/logsession.h"
#include "runtime/localeformats.h"
#include "service/app/exitstatus.h"
#include "service/app/serviceoptions.h"
#include "service/app/serviceprogram.h"
#include "service/app/sourcerunner.h"
#include "service/http/basicauth.h"
#include "service/http/httplistener.h"
#include "service/http/webconfig.h"
#include "service/outputs/mqttmessages.h"
#include "service/outputs/outputnames.h"
#include "service/outputs/servicelog.h"
#include "service/outputs/servicemetrics.h"
#include "service/outputs/statuschart.h"
#include "service/outputs/statusjson.h"
#include "service/outputs/statuspage.h"
#include "service/outputs/statusserver.h"
#include "service/outputs/statustexts.h"
#include "service/outputs/systemdstatus.h"
#include "service/state/historyfill.h"
#include "service/state/sensorhistory.h"
#include "service/state/sourcereachability.h"
#include "service/state/statestore.h"
#include "sources/adapter/webpagecomponent.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTcpSocket>
#include <QTest>

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <limits>

using namespace quorvel;
using namespace quorvel::acquisition;
using namespace quorvel::testing;

namespace {

const QString Adapter = QStringLiteral("127.0.0.1:8080");
const QString Source = QStringLiteral("adapter");
const QString Kind = QStringLiteral("adapter");

QString romOf(int slot)
{
    return builtInRomCodes().at(slot);
}

SensorReading readOf(int slot, ReadOutcome outcome, QDateTime when = QDateTime::currentDateTime())
{
    return SensorReading{Adapter,
                         slot,
                         romOf(slot),
                         {},
                         outcome,
                         20.5f,
                         outcome == ReadOutcome::Ok ? QString() : QStringLiteral("Connection refused"),
                         when,
                         when};
}

ReadOutcome outcomeOf(const QString& label)
{
    for (const auto& [outcome, text] : ReadOutcomeLabels)
        if (label == QLatin1StringView(text.data(), qsizetype(text.size())))
            return outcome;
    return ReadOutcome::NoAnswer;
}

// The whole service in process: a fake page per source with an answer per ROM code, the options as given.
struct Program {
    QList<FakePage*> pages; // the program's, one per source in the order they were made
    QStringList messages;
    std::unique_ptr<service::ServiceProgram> program;
    FakePage& page; // the first source's

    explicit Program(const service::ServiceOptions& options)
        : Program(service::configFromOptions(options, Adapter))
    {
    }
    explicit Program(service::ServiceConfig config)
        : program(std::make_unique<service::ServiceProgram>(
              std::move(config),
              [this](const service::SourceConfig&) {
                  auto page = std::make_unique<FakePage>();
                  pages << page.get();
                  return page;
              },
              [this](const QString& line) { messages << line; })),
          page(*pages.front())
    {
    }
    // Runs until the sweep limit ends it.
    bool run()
    {
        QSignalSpy finished(program.get(), &service::ServiceProgram::finished);
        if (program->start())
            return false;
        return finished.count() > 0 || finished.wait(20000);
    }
};

service::ServiceOptions logOptions(const QString& path, qint64 sweeps, const QLocale& locale = QLocale::c())
{
    service::ServiceOptions options;
    options.logPath = path;
    options.locale = locale;
    options.sweeps = sweeps;
    return options;
}

// What a command line came to: help, version, the error, or the options that differ from the defaults.
QString outcomeOf(const service::ParsedOptions& parsed)
{
    using Action = service::ParsedOptions::Action;
    if (parsed.action != Action::Run)
        return parsed.action == Action::Help      ? "help"
               : parsed.action == Action::Version ? "version"
                                                  : parsed.error;
    const service::ServiceOptions& o = parsed.options;
    const service::ServiceOptions plain;
    const service::MqttOptions m = o.mqtt.value_or(service::MqttOptions{}), plainMqtt;
    const auto when = [](bool given, const QString& text) { return given ? text : QString(); };
    QStringList parts{
        when(!o.logPath.isEmpty(), "log " + o.logPath),
        when(o.adapter.has_value(), "adapter " + o.adapter.value_or("")),
        when(o.metrics.has_value(),
             "listen " + o.metrics.value_or(service::ListenEndpoint{}).address.toString() + u':' +
                 QString::number(o.metrics.value_or(service::ListenEndpoint{}).port)),
        when(o.staleAfterSeconds != plain.staleAfterSeconds,
             "stale-after " + QString::number(o.staleAfterSeconds)),
        when(!o.webConfig.isEmpty(), "web-config " + o.webConfig),
        when(o.locale != plain.locale, "locale " + o.locale.name()),
        when(o.sweeps.has_value(), "sweeps " + QString::number(o.sweeps.value_or(0))),
        when(!o.sensorList.isEmpty(), "sensors " + o.sensorList),
        when(o.check, "check"),
        when(o.mqtt.has_value(), m.url + " topic " + m.baseTopic),
        when(!m.caFile.isEmpty(), "cafile " + m.caFile),
        when(!m.user.isEmpty(), "user " + m.user),
        when(!m.passwordFile.isEmpty(), "password-file " + m.passwordFile),
        when(!m.discovery, "no-discovery"),
        when(m.discoveryPrefix != plainMqtt.discoveryPrefix, "prefix " + m.discoveryPrefix),
        when(m.assistantStatus != plainMqtt.assistantStatus, "assistant-status " + m.assistantStatus),
        when(m.expireAfter != plainMqtt.expireAfter, "expire-after " + QString::number(m.expireAfter)),
        when(m.keepAlive != plainMqtt.keepAlive, "keepalive " + QString::number(m.keepAlive))};
    parts.removeAll(QString());
    return parts.join(u", ");
}

// The manual page's source as its reader sees the words, but without blanks: requests, quotes and font
// changes left out.
QString manWords(const QString& source)
{
    static const QRegularExpression markup(QStringLiteral("^\\.[A-Za-z]+|\\\\f[BIRP]|[\" \\n]"),
                                           QRegularExpression::MultilineOption);
    return QString(source).remove(markup).replace(QStringLiteral("\\-"), QStringLiteral("-"));
}

} // namespace

Q_DECLARE_METATYPE(quorvel::service::SensorSettings)

class TestServiceProgram : public QObject {
    Q_OBJECT

private slots:
    void init() { dir_ = scratchDir(QStringLiteral("serviceprogram")); }
    void metricsCountEachOutcome_data();
    void metricsCountEachOutcome();
    void metricsKeepTheirFamiliesAndLabels();
    void reachabilityToldOnce_data();
    void reachabilityToldOnce();
    void statusAtMostOnceASecond_data();
    void statusAtMostOnceASecond();
    void logFailuresToldOnce();
    void logQueueKeepsOrder_data();
    void logQueueKeepsOrder();
    void sweepsWriteTheWindowsLines_data();
    void sweepsWriteTheWindowsLines();
    void metricsAgreeWithTheLastLine();
    void ownSensorListNamesTheMetrics();
    void offsetCorrectsEveryOutput_data();
    void offsetCorrectsEveryOutput();
    void threeSourcesRunSideBySide();
    void reloadTouchesOnlyWhatChanged();
    void growingWorkIsOffTheLoop_data();
    void growingWorkIsOffTheLoop();
    void sourceFindsItsSensors_data();
    void sourceFindsItsSensors();
    void exitStatusesAreDocumented_data();
    void exitStatusesAreDocumented();
    void sharedNamesAreDocumented_data();
    void sharedNamesAreDocumented();
    void optionsAreDocumented_data();
    void optionsAreDocumented();
    void commandLines_data();
    void commandLines();
    void mqttMessagesOfEachRead_data();
    void mqttMessagesOfEachRead();
    void mqttAlarmOfASensorWithLimits_data();
    void mqttAlarmOfASensorWithLimits();
    void mqttClearsOnlyItsOwnStaleConfigs_data();
    void mqttClearsOnlyItsOwnStaleConfigs();
    void boardShowsEachSensor_data();
    void boardShowsEachSensor();
    void historyIsBoundedAndRefilled_data();
    void historyIsBoundedAndRefilled();
    void listenerAsksForTheLogin_data();
    void listenerAsksForTheLogin();

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestServiceProgram::metricsCountEachOutcome_data()
{
    QTest::addColumn<QStringList>("outcomes"); // slot 0's reads, in order
    QTest::addColumn<int>("failuresAfter");
    QTest::addColumn<bool>("succeeded"); // and so the gauge shows the reading
    QTest::newRow("never read") << QStringList{"no_answer"} << 1 << false;
    QTest::newRow("ok") << QStringList{"ok", "ok"} << 0 << true;
    QTest::newRow("failures after a success") << QStringList{"ok", "http_error", "no_answer"} << 2 << true;
    QTest::newRow("a success ends the run") << QStringList{"no_element", "not_a_number", "ok"} << 0 << true;
    // The power-on value is no temperature: not a success, and a failure in the run.
    QTest::newRow("power-on reset") << QStringList{"power_on_reset"} << 1 << false;
    QTest::newRow("power-on reset, then believed") << QStringList{"power_on_reset", "ok"} << 0 << true;
}

void TestServiceProgram::metricsCountEachOutcome()
{
    QFETCH(QStringList, outcomes);
    QFETCH(int, failuresAfter);
    QFETCH(bool, succeeded);
    service::StateStore store(300, false);
    store.addSource(Source, Kind, Adapter, builtInSensors(), {});
    const service::ServiceMetrics metrics(store, QStringLiteral("1.0.0"));
    for (const QString& outcome : outcomes)
        store.onRead(Source, readOf(0, outcomeOf(outcome)));
    const SensorReadings readings(SensorCount, 21.25f);
    for (const bool written : {true, false}) {
        store.onSweep(Source, {Adapter, readings, QDateTime::currentDateTime(), std::nullopt, 0, {}});
        store.onLogOutcome(Source, {written, written ? 0 : 2, {}, {}});
    }
    const QByteArray text = metrics.exposition();
    const QByteArray labels = sensorLabels(0);
    for (const auto& [outcome, label] : ReadOutcomeLabels) {
        const QByteArray name(label.data(), qsizetype(label.size()));
        QCOMPARE(sample(text, "quorvel_sensor_reads_total{" + labels + ",result=\"" + name + "\"}"),
                 double(outcomes.count(QString::fromLatin1(name))));
    }
    QCOMPARE(sample(text, "quorvel_sensor_consecutive_failures{" + labels + '}'), double(failuresAfter));
    QCOMPARE(sample(text, "quorvel_sensor_last_success_timestamp_seconds{" + labels + '}').has_value(),
             succeeded);
    QCOMPARE(sample(text, "quorvel_sensor_temperature_celsius{" + labels + '}'),
             succeeded ? std::optional(21.25) : std::nullopt);
    QCOMPARE(sample(text, "quorvel_sweeps_total{" + sourceLabels() + '}'), 2.0);
    QCOMPARE(sample(text, "quorvel_log_records_total{" + sourceLabels() + '}'), 1.0);
    QCOMPARE(sample(text, "quorvel_log_write_errors_total{" + sourceLabels() + '}'), 2.0);
}

// What a scraper's dashboards rely on: each family, its type, its samples' label names, and the results in
// the order they always had, the power-on one last.
void TestServiceProgram::metricsKeepTheirFamiliesAndLabels()
{
    service::StateStore store(300, false);
    store.addSource(Source, Kind, Adapter, builtInSensors(), {});
    const service::ServiceMetrics metrics(store, QStringLiteral("1.0.0"));
    store.onRead(Source, readOf(0, ReadOutcome::Ok));
    store.onSweep(Source,
                  {Adapter, SensorReadings(SensorCount, 20.5f), QDateTime::currentDateTime(), true, 0, {}});
    static const QRegularExpression labelValue(QStringLiteral("=\"(?:[^\"\\\\]|\\\\.)*\""));
    QStringList shapes;
    QStringList results;
    for (const QByteArray& line : metrics.exposition().split('\n')) {
        const QString text = QString::fromUtf8(line);
        if (line.startsWith("quorvel_sensor_reads_total{" + sourceLabels() + ",sensor=\"1\""))
            results << text.section(QStringLiteral("result=\""), 1).section(QLatin1Char('"'), 0, 0);
        const QString shape = line.startsWith("# TYPE ")
                                  ? text.mid(7)
                                  : text.section(QLatin1Char(' '), 0, 0).remove(labelValue);
        if (!line.startsWith("# HELP") && !line.isEmpty() && !shapes.contains(shape))
            shapes << shape;
    }
    const QString sensor = QStringLiteral("{source,sensor,rom,name}");
    QCOMPARE(shapes, QStringList({"quorvel_sensor_temperature_celsius gauge",
                                  "quorvel_sensor_temperature_celsius" + sensor,
                                  "quorvel_sensor_last_success_timestamp_seconds gauge",
                                  "quorvel_sensor_last_success_timestamp_seconds" + sensor,
                                  "quorvel_sensor_consecutive_failures gauge",
                                  "quorvel_sensor_consecutive_failures" + sensor,
                                  "quorvel_sensor_reads_total counter",
                                  "quorvel_sensor_reads_total{source,sensor,rom,name,result}",
                                  "quorvel_sensor_alarm gauge",
                                  "quorvel_sensor_alarm{source,sensor,rom,name,state}",
                                  "quorvel_source_reachable gauge",
                                  "quorvel_source_reachable{source}",
                                  "quorvel_sweeps_total counter",
                                  "quorvel_sweeps_total{source}",
                                  "quorvel_log_records_total counter",
                                  "quorvel_log_records_total{source}",
                                  "quorvel_log_write_errors_total counter",
                                  "quorvel_log_write_errors_total{source}",
                                  "quorvel_log_stalled gauge",
                                  "quorvel_log_stalled{source}",
                                  "quorvel_build_info gauge",
                                  "quorvel_build_info{version}"}));
    QCOMPARE(results,
             QStringList({"ok", "no_element", "not_a_number", "http_error", "no_answer", "power_on_reset",
                          "crc_error", "zero_scratchpad", "no_sensor", "read_error"}));

    // Publishing adds its families after all the others, and only then.
    store.mqtt().enabled = true;
    QStringList mqtt;
    for (const QByteArray& line : metrics.exposition().split('\n'))
        if (line.startsWith("# TYPE quorvel_mqtt"))
            mqtt << QString::fromUtf8(line.mid(7));
    QCOMPARE(mqtt,
             QStringList({"quorvel_mqtt_connected gauge", "quorvel_mqtt_messages_published_total counter",
                          "quorvel_mqtt_connection_failures_total counter"}));
    QVERIFY(metrics.exposition().endsWith("quorvel_mqtt_connection_failures_total 0\n"));
}

void TestServiceProgram::reachabilityToldOnce_data()
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

void TestServiceProgram::reachabilityToldOnce()
{
    QFETCH(int, sensors);
    QFETCH(QString, answers);
    QFETCH(QStringList, told);
    QStringList messages;
    service::SourceReachability reachability(sensors, [&](const QString& line) { messages << line; });
    QSignalSpy down(&reachability, &service::SourceReachability::unreachable);
    QDateTime when = QDateTime::fromSecsSinceEpoch(1'700'000'000);
    QDateTime firstSilent;
    for (qsizetype i = 0; i < answers.size(); ++i) {
        const bool answered = answers.at(i) == QLatin1Char('1');
        if (!answered && (i == 0 || answers.at(i - 1) == QLatin1Char('1')))
            firstSilent = when;
        reachability.onRead(
            readOf(int(i) % sensors, answered ? ReadOutcome::Ok : ReadOutcome::NoAnswer, when));
        when = when.addSecs(10);
    }
    QCOMPARE(messages, told);
    QCOMPARE(reachability.isReachable(), told.isEmpty() || told.last().endsWith(QLatin1String("again")));
    // Since when: the first request of the run that got no answer.
    if (!down.isEmpty())
        QCOMPARE(down.last().at(2).toDateTime(), firstSilent);
}

void TestServiceProgram::statusAtMostOnceASecond_data()
{
    // Steps "t:event" at t milliseconds: sweep, down, up, or fire (the held text's timer).
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
}

void TestServiceProgram::statusAtMostOnceASecond()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, sent);
    QStringList got;
    service::SystemdStatus status([&](const QString& text) { got << text; });
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
        else if (event == QLatin1String("down"))
            status.onUnreachable(QStringLiteral("adapter at ") + Adapter,
                                 QStringLiteral("Connection refused"), since);
        else if (event == QLatin1String("up"))
            status.onReachableAgain(QStringLiteral("adapter at ") + Adapter);
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

// Each trouble is told when it begins and once more when it ends, never once a sweep.
void TestServiceProgram::logFailuresToldOnce()
{
    const QString folder = dir_->filePath(QStringLiteral("logs"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/sweep.log");
    QStringList told;
    service::ServiceLog log(path, false, QLocale::c(), [&](const QString& line) { told << line; });
    QList<service::LogOutcome> outcomes;
    connect(&log, &service::ServiceLog::recorded, this,
            [&outcomes](const service::LogOutcome& outcome) { outcomes << outcome; });
    QCOMPARE(log.open(), std::nullopt);
    const SensorReadings readings(SensorCount, 20.0f);
    // Written on the log's thread: what came of the record arrives on the loop.
    const auto write = [&] {
        const qsizetype before = outcomes.size();
        log.write(readings, QDateTime::currentDateTime());
        return QTest::qWaitFor([&] { return outcomes.size() > before; }, 5000) && outcomes.last().written;
    };
    QVERIFY(write());

    QVERIFY(QFile::remove(path));
    QVERIFY(write());
    QCOMPARE(told, QStringList{"the log file was moved or deleted; a new one was started: " + path});
    QCOMPARE(recordCount(path), 1);

    QVERIFY(QDir(folder).removeRecursively());
    log.reopen();
    QVERIFY(!write());
    QVERIFY(!write());
    QCOMPARE(told.size(), 3);
    QVERIFY2(told.at(1).startsWith(QLatin1String("cannot reopen the log: ")), qPrintable(told.at(1)));
    QVERIFY2(told.at(2).startsWith(QLatin1String("cannot write the log; retrying at each sweep: ")),
             qPrintable(told.at(2)));
    QCOMPARE(outcomes.at(outcomes.size() - 1).lost + outcomes.at(outcomes.size() - 2).lost, qint64(2));

    QVERIFY(QDir().mkpath(folder));
    QVERIFY(write());
    QCOMPARE(told.size(), 4);
    QVERIFY2(told.at(3).startsWith(QLatin1String("the log is written again")), qPrintable(told.at(3)));
    QCOMPARE(recordCount(path), 1);
}

void TestServiceProgram::logQueueKeepsOrder_data()
{
    QTest::addColumn<bool>("stopWhileHeld");
    QTest::newRow("reader comes back") << false;
    QTest::newRow("stop while held") << true;
}

// A log whose writes do not return (a pipe nobody reads): the records queue in order up to the bound, the
// rest are counted lost and told once; a stop waits no longer than its deadline and counts what is left.
void TestServiceProgram::logQueueKeepsOrder()
{
    QFETCH(bool, stopWhileHeld);
    std::signal(SIGPIPE, SIG_IGN);
    const QString fifo = dir_->filePath(QStringLiteral("out"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    QByteArray read;
    QStringList told;
    qint64 written = 0, lost = 0;
    const int handed = 3000; // well past what the pipe and the queue hold
    {
        // The pipe as standard output, taken at the open.
        service::ServiceLog log(QStringLiteral("/dev/stdout"), true, QLocale::c(),
                                [&](const QString& line) { told << line; });
        connect(&log, &service::ServiceLog::recorded, this, [&](const service::LogOutcome& outcome) {
            written += outcome.written;
            lost += outcome.lost;
        });
        const int saved = ::dup(STDOUT_FILENO);
        const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const bool swapped = ::fcntl(writer, F_SETFL, O_WRONLY) == 0 && ::dup2(writer, STDOUT_FILENO) >= 0;
        const bool opened = swapped && !log.open();
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        ::close(writer);
        QVERIFY(opened);
        for (int i = 0; i < handed; ++i)
            log.write(SensorReadings(SensorCount, float(i)), QDateTime::currentDateTime());
        QCOMPARE(told.filter(QStringLiteral("the log takes no more records")).size(), 1);
        if (stopWhileHeld) {
            QElapsedTimer stopping;
            stopping.start();
            log.close();
            log.finish(QDeadlineTimer(200));
            QVERIFY2(stopping.elapsed() < 5000, qPrintable(QString::number(stopping.elapsed())));
            QCOMPARE(told.filter(QStringLiteral("lost at the stop")).size(), 1);
            QCOMPARE(written + lost, qint64(handed));
        }
        QVERIFY(QTest::qWaitFor(
            [&] {
                readInto(reader, read);
                return stopWhileHeld ? read.count("\r\n") >= written : written + lost == handed;
            },
            20000));
    }
    readInto(reader, read);
    ::close(reader);
    // Whatever reached the pipe is whole and in the order handed in, from the first record on.
    const QList<QByteArray> lines = records(read);
    QVERIFY(lines.size() >= written && lines.size() <= written + 1);
    float previous = -1;
    for (const QByteArray& line : lines) {
        const auto record = parseLogRecord(QString::fromLocal8Bit(line), QLocale::c());
        QVERIFY2(record && record->readings.value(0) > previous &&
                     (previous >= 0 || record->readings.value(0) == 0),
                 line.constData());
        previous = record->readings.value(0);
    }
    if (!stopWhileHeld) {
        QCOMPARE(written + lost, qint64(handed));
        QCOMPARE(told.filter(QStringLiteral("the log takes records again")).size(), 1);
    }
}

void TestServiceProgram::sweepsWriteTheWindowsLines_data()
{
    QTest::addColumn<QString>("locale");
    QTest::newRow("C") << QStringLiteral("C");
    QTest::newRow("de_DE") << QStringLiteral("de_DE");
}

// The same readings through the window's recorder give the same bytes.
void TestServiceProgram::sweepsWriteTheWindowsLines()
{
    QFETCH(QString, locale);
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    Program service(logOptions(path, 3, QLocale(locale)));
    for (int slot = 0; slot < SensorCount; ++slot)
        service.page.answers.insert(romOf(slot), {QString::number(slot * 1.5 - 4.0625)});
    QVERIFY(service.run());

    const QList<QByteArray> lines = records(readAll(path));
    QCOMPARE(lines.size(), 3);
    for (const QByteArray& line : lines) {
        const auto record = parseLogRecord(QString::fromLocal8Bit(line), QLocale(locale));
        QVERIFY2(record, line.constData());
        for (int slot = 0; slot < SensorCount; ++slot)
            QCOMPARE(record->readings[slot], float(slot * 1.5 - 4.0625));
        const QString windowFile = dir_->filePath(QStringLiteral("window.log"));
        QFile::remove(windowFile);
        LogSession session;
        QVERIFY(!session.open(windowFile));
        LogRecorder window(session, QLocale(locale), [when = record->when] { return when; });
        QVERIFY(!window.writeRecord(record->readings));
        session.close();
        QCOMPARE(readAll(windowFile), line);
    }
}

// Sensors with faults give each failure kind; the scrape agrees with the log's last line.
void TestServiceProgram::metricsAgreeWithTheLastLine()
{
    struct Failing {
        int sensor;
        FakePage::Answer answer;
        const char* result;
    };
    const std::array<Failing, 5> failing = {{
        {3, {std::nullopt, true, QStringLiteral("HTTP 500 Internal Server Error")}, "http_error"},
        {5, {QStringLiteral("----")}, "not_a_number"},
        {7, {}, "no_element"},
        {9, {std::nullopt, false, QStringLiteral("Connection reset")}, "no_answer"},
        // Reads 85 every time: the first is taken for a power-on, every later one is believed.
        {11, {QStringLiteral("85")}, "power_on_reset"},
    }};
    const int sweeps = 4;
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    Program service(logOptions(path, sweeps));
    for (const Failing& f : failing)
        service.page.answers.insert(romOf(f.sensor - 1), f.answer);
    service.program->cycle().setNoAnswerPauseMs(0);
    QVERIFY(service.run());

    const QList<QByteArray> lines = records(readAll(path));
    QCOMPARE(lines.size(), sweeps);
    const auto record = parseLogRecord(QString::fromLocal8Bit(lines.last()), QLocale::c());
    QVERIFY(record);
    const QByteArray text = service.program->metrics().exposition();
    QCOMPARE(sample(text, "quorvel_sweeps_total{" + sourceLabels() + '}'), double(sweeps));
    QCOMPARE(sample(text, "quorvel_log_records_total{" + sourceLabels() + '}'), double(sweeps));
    QCOMPARE(sample(text, "quorvel_log_write_errors_total{" + sourceLabels() + '}'), 0.0);
    for (int slot = 0; slot < SensorCount; ++slot) {
        const QByteArray labels = sensorLabels(slot);
        const auto reads = [&](const char* result) {
            return sample(text, "quorvel_sensor_reads_total{" + labels + ",result=\"" + result + "\"}");
        };
        const auto bad = std::find_if(failing.begin(), failing.end(),
                                      [&](const Failing& f) { return f.sensor == slot + 1; });
        if (bad == failing.end()) {
            QCOMPARE(reads("ok"), double(sweeps));
            QCOMPARE(record->readings[slot], 20.5f);
            QCOMPARE(sample(text, "quorvel_sensor_temperature_celsius{" + labels + '}'), 20.5);
        } else if (bad->sensor == 11) {
            QCOMPARE(reads("power_on_reset"), 1.0);
            QCOMPARE(reads("ok"), double(sweeps - 1));
            QCOMPARE(record->readings[slot], 85.0f); // the log writes what was read
            QCOMPARE(sample(text, "quorvel_sensor_temperature_celsius{" + labels + '}'), 85.0);
        } else {
            // Never read: the log keeps 0, the gauge is absent, every read counted under its kind.
            QCOMPARE(record->readings[slot], 0.0f);
            QVERIFY(!sample(text, "quorvel_sensor_temperature_celsius{" + labels + '}'));
            QCOMPARE(reads("ok"), 0.0);
            QCOMPARE(reads(bad->result), double(sweeps));
            QCOMPARE(sample(text, "quorvel_sensor_consecutive_failures{" + labels + '}'), double(sweeps));
            QVERIFY(!sample(text, "quorvel_sensor_last_success_timestamp_seconds{" + labels + '}'));
        }
    }
    // One sensor without an answer is that sensor's failure, not an unreachable adapter.
    QVERIFY2(service.messages.filter(QStringLiteral("unreachable")).isEmpty(),
             qPrintable(service.messages.join(QLatin1Char('\n'))));
    // And the last word: what the run did.
    QCOMPARE(service.messages.last(), QStringLiteral("stopped: 4 sweeps, 4 records written, 0 records lost"));
}

// Someone else's three sensors: three readings a line in list order, their names in the metrics.
void TestServiceProgram::ownSensorListNamesTheMetrics()
{
    const QString list = dir_->filePath(QStringLiteral("sensors"));
    QVERIFY(writeFile(list, ThreeSensors));
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    service::ServiceOptions options = logOptions(path, 2);
    options.sensors = readSensorList(list).sensors;
    Program service(options);
    service.page.answers.insert(ThreeRoms.at(1), {QStringLiteral("-3.5")});
    QVERIFY(service.run());
    QVERIFY2(service.messages.first().contains(QLatin1String("3 sensors")),
             qPrintable(service.messages.first()));
    QCOMPARE(service.page.navigations.size(), 6);
    for (int i = 0; i < 6; ++i)
        QVERIFY(service.page.navigations.at(i).contains(ThreeRoms.at(i % 3)));

    for (const QByteArray& line : records(readAll(path))) {
        const auto record = parseAnyLogRecord(QString::fromLocal8Bit(line), QLocale::c());
        QVERIFY2(record, line.constData());
        QCOMPARE(record->readings, (QList<float>{20.5f, -3.5f, 20.5f}));
    }
    const QByteArray text = service.program->metrics().exposition();
    for (int slot = 0; slot < 3; ++slot) {
        const QByteArray name = slot == 0 ? "Cellar \\\"north\\\"" : slot == 1 ? "Attic" : "";
        const QByteArray labels = sensorLabels(slot, ThreeRoms.at(slot).toLatin1(), name);
        QCOMPARE(sample(text, "quorvel_sensor_consecutive_failures{" + labels + '}'), 0.0);
    }
    QVERIFY(!text.contains("sensor=\"4\""));
}

void TestServiceProgram::offsetCorrectsEveryOutput_data()
{
    QTest::addColumn<double>("offset");
    QTest::addColumn<QString>("page"); // what the adapter's page says
    QTest::addColumn<float>("logged");
    QTest::addColumn<QString>("result");
    QTest::newRow("none: as read") << 0.0 << "21.5" << 21.5f << "ok";
    QTest::newRow("down a quarter") << -0.25 << "21.5" << 21.25f << "ok";
    QTest::newRow("up, below zero") << 0.5 << "-10.125" << -9.625f << "ok";
    // The power-on rule looks at the reading as it came: 85 is 85 whatever the sensor's offset.
    QTest::newRow("power-on value") << -0.25 << "85" << 84.75f << "power_on_reset";
}

// The offset is in the log, the JSON and the metrics alike; the JSON keeps the raw value beside it.
void TestServiceProgram::offsetCorrectsEveryOutput()
{
    QFETCH(double, offset);
    QFETCH(QString, page);
    QFETCH(float, logged);
    QFETCH(QString, result);
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    service::ServiceConfig config = service::configFromOptions(logOptions(path, 1), Adapter);
    config.sources.front().sensors = {{romOf(0), QStringLiteral("Freezer")}};
    if (offset != 0) {
        service::SensorSettings settings;
        settings.offset = offset;
        config.sources.front().settings.insert(romOf(0), settings);
    }
    Program service(config);
    service.page.answers.insert(romOf(0), {page});
    QVERIFY(service.run());
    const auto record =
        parseAnyLogRecord(QString::fromLocal8Bit(records(readAll(path)).value(0)), QLocale::c());
    QVERIFY(record);
    QCOMPARE(record->readings.value(0), logged);
    const QJsonObject sensor =
        QJsonDocument::fromJson(
            service::statuspage::readingsJson(service.program->store(), QDateTime::currentDateTime()))
            .object()
            .value(u"sources")
            .toArray()
            .at(0)
            .toObject()
            .value(u"sensors")
            .toArray()
            .at(0)
            .toObject();
    QCOMPARE(sensor.value(u"result").toString(), result);
    // Both are the last good reading's: a power-on value is none.
    const bool good = result == QLatin1String("ok");
    QCOMPARE(sensor.value(u"raw_temperature"),
             good ? QJsonValue(page.toDouble()) : QJsonValue(QJsonValue::Null));
    QCOMPARE(sensor.value(u"temperature"), good ? QJsonValue(double(logged)) : QJsonValue(QJsonValue::Null));
}

// One source that answers, one that never does and one that fails, each against a simulator of its own:
// the healthy one keeps its pace while the silent one waits for its first answer, each log has its own
// lines, and the metrics, the JSON and the page carry all three.
void TestServiceProgram::threeSourcesRunSideBySide()
{
    struct Source {
        const char* name;
        QStringList simulatorArguments;
        QList<ListedSensor> sensors; // empty: the built-in thirteen
    };
    const QList<Source> sources{
        {"healthy", {}, {}},
        {"silent", {"--fault", "all:silent"}, {{"3000000123456728", "Cellar"}, {"BC0000000ABCDE28", {}}}},
        {"failing", {"--fault", "all:status500"}, {{"0100000000000128", "Attic"}}},
    };
    service::ServiceConfig config;
    config.listen = service::ListenEndpoint{QHostAddress::LocalHost, 0};
    std::vector<std::unique_ptr<SimulatorProcess>> simulators;
    for (const Source& source : sources) {
        simulators.push_back(std::make_unique<SimulatorProcess>());
        QVERIFY(simulators.back()->start(source.simulatorArguments));
        service::SourceConfig added;
        added.name = QLatin1String(source.name);
        added.address = QStringLiteral("127.0.0.1:%1").arg(simulators.back()->port());
        added.logPath = dir_->filePath(added.name + QStringLiteral(".log"));
        added.sensors = source.sensors;
        config.sources.push_back(added);
    }
    service::ServiceProgram program(
        config, [](const service::SourceConfig&) { return std::make_unique<WebPageComponent>(); },
        [](const QString&) {});
    QCOMPARE(program.start(), std::nullopt);
    const auto sweepsOf = [&program](const char* name) {
        return program.store().source(QLatin1String(name))->sweeps;
    };
    // Well before the silent source's first request times out (10 s), under the sanitizers too.
    QTRY_VERIFY_WITH_TIMEOUT(sweepsOf("healthy") >= 3 && sweepsOf("failing") >= 3, 9000);
    QCOMPARE(sweepsOf("silent"), quint64(0));

    const QByteArray metrics = program.metrics().exposition();
    const QJsonArray json = QJsonDocument::fromJson(service::statuspage::readingsJson(
                                                        program.store(), QDateTime::currentDateTime()))
                                .object()
                                .value(u"sources")
                                .toArray();
    const QString page =
        QString::fromUtf8(service::statuspage::html(program.store(), QDateTime::currentDateTime()));
    QCOMPARE(json.size(), 3);
    program.stop();
    for (qsizetype i = 0; i < sources.size(); ++i) {
        const QByteArray name = sources[i].name;
        const int sensors = sources[i].sensors.isEmpty() ? SensorCount : int(sources[i].sensors.size());
        const QByteArray log = readAll(dir_->filePath(QString::fromLatin1(name) + QStringLiteral(".log")));
        QVERIFY2(allWhole(log), name);
        for (const QByteArray& line : records(log))
            QCOMPARE(parseAnyLogRecord(QString::fromLocal8Bit(line), QLocale())->readings.size(), sensors);
        QCOMPARE(records(log).isEmpty(), name == "silent");
        QCOMPARE(json.at(i).toObject().value(u"name").toString(), QString::fromLatin1(name));
        QCOMPARE(json.at(i).toObject().value(u"sensors").toArray().size(), sensors);
        QVERIFY2(page.contains(QStringLiteral("<section data-source=\"%1\">").arg(QLatin1String(name))),
                 name);
        QVERIFY2(sample(metrics, "quorvel_sweeps_total{" + sourceLabels(name) + '}'), name);
        QVERIFY2(sample(metrics,
                        "quorvel_sensor_consecutive_failures{" +
                            sensorLabels(0,
                                         sources[i].sensors.isEmpty()
                                             ? QByteArray(RomCodes[0].data(), qsizetype(RomCodes[0].size()))
                                             : sources[i].sensors[0].romCode.toLatin1(),
                                         sources[i].sensors.isEmpty() ? QByteArray()
                                                                      : sources[i].sensors[0].name.toUtf8(),
                                         name) +
                            '}'),
                 name);
    }
}

// A reload runs the new configuration: a source that did not change goes on with its counters, a removed
// one stops and leaves the store, a changed one starts again from nothing, an added one starts.
// With a broker, Home Assistant gets one device per source, and a reload takes a removed one's away.
void TestServiceProgram::reloadTouchesOnlyWhatChanged()
{
    service::ServiceConfig config;
    for (const char* name : {"kept", "removed", "changed"}) {
        service::SourceConfig source;
        source.name = QLatin1String(name);
        source.address = Adapter;
        source.sensors = {{romOf(int(config.sources.size())), {}}};
        config.sources.push_back(source);
    }
    config.file = dir_->filePath(QStringLiteral("sources.yaml"));
    BrokerProcess broker;
    MqttSubscriber live;
    const bool mqtt = BrokerProcess::available();
    if (mqtt) {
        QVERIFY(broker.start(BrokerProcess::Kind::Open));
        QVERIFY(live.start(broker));
        config.mqtt = service::parseMqttUrl(broker.url());
        config.mqtt->baseTopic = QStringLiteral("q/box");
    }
    // The retained config of a sensor: its device and state topic; empty once cleared.
    const auto announced = [&live](int slot) -> std::pair<QString, QString> {
        const QList<MqttSubscriber::Message> configs =
            live.on("homeassistant/sensor/quorvel3d_" + romOf(slot) + "/config");
        if (configs.isEmpty() || configs.last().payload.isEmpty())
            return {};
        const QJsonObject config = QJsonDocument::fromJson(configs.last().payload).object();
        return {config["device"]["identifiers"][0].toString(), config["state_topic"].toString()};
    };
    Program service(config);
    QCOMPARE(service.program->start(), std::nullopt);
    if (mqtt) {
        for (const auto& [slot, name] : {std::pair{0, "kept"}, {1, "removed"}, {2, "changed"}})
            QTRY_COMPARE_WITH_TIMEOUT(
                announced(slot),
                std::pair(QStringLiteral("quorvel3d_q_box_") + name,
                          QStringLiteral("q/box/%1/%2/temperature").arg(name, romOf(slot))),
                20000);
    }
    const service::StateStore& store = service.program->store();
    QTRY_VERIFY(store.source(QStringLiteral("changed")) &&
                store.source(QStringLiteral("changed"))->sweeps >= 3);

    service::ServiceConfig next = config;
    next.sources.erase(next.sources.begin() + 1);
    next.sources[1].address = QStringLiteral("127.0.0.1:8081");
    next.sources.push_back(config.sources[1]);
    next.sources.back().name = QStringLiteral("added");
    const quint64 keptBefore = store.source(QStringLiteral("kept"))->sweeps;
    // Counted in the final line with those still running.
    quint64 sweeps =
        store.source(QStringLiteral("removed"))->sweeps + store.source(QStringLiteral("changed"))->sweeps;
    service.program->apply(next);

    QCOMPARE(store.sources().size(), std::size_t(3));
    QVERIFY(!store.source(QStringLiteral("removed")));
    QVERIFY(store.source(QStringLiteral("kept"))->sweeps >= keptBefore);
    QCOMPARE(store.source(QStringLiteral("changed"))->sweeps, quint64(0));
    QCOMPARE(store.source(QStringLiteral("changed"))->address, QStringLiteral("127.0.0.1:8081"));
    QTRY_VERIFY(store.source(QStringLiteral("added"))->sweeps >= 1 &&
                store.source(QStringLiteral("changed"))->sweeps >= 1);
    // It goes on: it may be in the middle of a sweep as long as theirs.
    QTRY_VERIFY(store.source(QStringLiteral("kept"))->sweeps > keptBefore);
    QCOMPARE(service.messages.filter(QStringLiteral("reload:")).size(), 4); // removed, changed twice, added
    if (mqtt) {
        // The removed source's device is gone with its state; its sensor is the added one's now.
        QTRY_COMPARE_WITH_TIMEOUT(
            announced(1),
            std::pair(QStringLiteral("quorvel3d_q_box_added"), "q/box/added/" + romOf(1) + "/temperature"),
            20000);
        const QString removedState = "q/box/removed/" + romOf(1) + "/temperature";
        QTRY_VERIFY_WITH_TIMEOUT(
            !live.on(removedState).isEmpty() && live.on(removedState).last().payload.isEmpty(), 20000);
        QCOMPARE(announced(2).first, QStringLiteral("quorvel3d_q_box_changed"));
        QCOMPARE(live.on(QStringLiteral("q/box/status")).last().payload, QByteArray("online"));
    }
    service.program->stop();
    for (const auto& source : store.sources())
        sweeps += source->sweeps;
    QVERIFY2(service.messages.last().startsWith(QStringLiteral("stopped: %1 sweeps, ").arg(sweeps)),
             qPrintable(service.messages.last()));
}

void TestServiceProgram::growingWorkIsOffTheLoop_data()
{
    QTest::addColumn<int>("reloads"); // asked before the loop runs again
    QTest::addColumn<bool>("stopAtOnce");
    QTest::newRow("one reload") << 1 << false;
    QTest::newRow("three while it reads: one more read") << 3 << false;
    QTest::newRow("stopped while they read") << 1 << true;
}

// A start reads the day's history from the log on a thread, and a reload the file: the source sweeps
// meanwhile, its points stay beside the log's in time order, and the file is applied once read. Reloads
// asked meanwhile come to one more read; a stop drops both.
void TestServiceProgram::growingWorkIsOffTheLoop()
{
    QFETCH(int, reloads);
    QFETCH(bool, stopAtOnce);
    LogSession session;
    QVERIFY(!session.open(dir_->filePath(QStringLiteral("a.log"))));
    QList<float> expected;
    for (int m = 60; m >= 1; --m) {
        const QDateTime when = QDateTime::currentDateTime().addSecs(-60 * m);
        const SensorReadings readings(SensorCount, float(m));
        LogRecorder(session, QLocale::c(), [when] { return when; }).writeRecord(readings);
        expected << float(m);
    }
    session.close();
    const QString file = dir_->filePath(QStringLiteral("sources.yaml"));
    const QByteArray one =
        "listen: 127.0.0.1:0\nlocale: C\nsources:\n  - name: a\n    address: 127.0.0.1\n    log: a.log\n";
    QVERIFY(writeFile(file, one));
    Program service(*service::readServiceConfig(file).config);
    QCOMPARE(service.program->start(), std::nullopt);
    QVERIFY(writeFile(file,
                      one + "  - name: b\n    address: 127.0.0.2\n    sensors: [{id: 3000000123456728}]\n"));
    for (int i = 0; i < reloads; ++i)
        service.program->reload();
    const service::SourceState& a = *service.program->store().source(QStringLiteral("a"));
    const auto values = [&a] {
        QList<float> out;
        for (const auto& point : a.history.points(0, QDateTime::currentDateTime()))
            out << point.value;
        return out;
    };
    const auto applied = [&service] { return service.messages.filter(QStringLiteral("reloaded ")).size(); };
    QVERIFY(values().isEmpty() &&
            !service.program->source(QStringLiteral("b"))); // the loop has not run since
    if (stopAtOnce) {
        service.program->stop();
        QTest::qWait(100);
        QVERIFY(values().isEmpty());
        service.program.reset(); // waits for the file's read
        QCOMPARE(applied(), 0);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(values().size() > 60 && a.sweeps >= 2 && applied() == std::min(reloads, 2),
                             20000);
    QTest::qWait(100);
    QCOMPARE(applied(), std::min(reloads, 2));
    QVERIFY(service.program->source(QStringLiteral("b")));
    const QList<float> live = values().mid(60);
    QCOMPARE(values().mid(0, 60), expected);
    QCOMPARE(live.count(20.5f), live.size());
}

void TestServiceProgram::sourceFindsItsSensors_data()
{
    QTest::addColumn<QStringList>("found");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QStringList>("foundLater"); // on refresh
    const QStringList two{romOf(0), romOf(1)};
    QTest::newRow("two found, the same two again") << two << "" << two;
    QTest::newRow("two found, then one unplugged") << two << "" << QStringList{romOf(1)};
    QTest::newRow("none shown, then two") << QStringList{} << "" << two;
    QTest::newRow("cannot list, then two") << QStringList{} << "Connection refused" << two;
    QStringList many; // more than a list may hold: the first are polled, the rest told
    for (int i = 0; i < 150; ++i)
        many << QStringLiteral("%1").arg(i, 14, 10, QLatin1Char('0')) + QStringLiteral("28");
    QTest::newRow("150 found, twice") << many << "" << many;
}

// A bus or a server without a list of sensors polls what it finds, and what it finds after a refresh; one
// that cannot list them says so once, counts as unreachable, and polls once it can.
void TestServiceProgram::sourceFindsItsSensors()
{
    QFETCH(QStringList, found);
    QFETCH(QString, failure);
    QFETCH(QStringList, foundLater);
    service::StateStore store(300, false);
    auto owned = std::make_unique<FakeReader>();
    FakeReader& reader = *owned;
    reader.found = found;
    if (!failure.isEmpty())
        reader.discoveryFailure = failure;
    service::SourceConfig config;
    config.name = QStringLiteral("bus");
    config.kind = QLatin1String(service::SourceConfig::W1Kind);
    config.address = QStringLiteral("/sys/bus/w1/devices");
    QStringList messages;
    service::SourceRunner runner(config, {std::move(owned)}, store, QLocale::c(),
                                 [&messages](const QString& m) { messages << m; });
    QSignalSpy changed(&runner, &service::SourceRunner::sensorsChanged);
    QSignalSpy sweeps(&store, &service::StateStore::sweepTaken);
    runner.cycle().setNoAnswerPauseMs(0);
    runner.start();
    const auto sensorsOf = [&store] {
        QStringList roms;
        for (const auto& sensor : store.source(QStringLiteral("bus"))->sensors)
            roms << sensor.romCode;
        return roms;
    };
    if (found.isEmpty()) {
        QTRY_COMPARE(messages.size(), 1);
        QVERIFY2(
            messages.first().startsWith(QStringLiteral("source bus: cannot list the sensors of the bus at "
                                                       "/sys/bus/w1/devices: ")),
            qPrintable(messages.first()));
        QVERIFY(!store.source(QStringLiteral("bus"))->reachable());
        QCOMPARE(changed.size(), 0);
        reader.discoveryFailure.reset();
    } else {
        QTRY_VERIFY(sweeps.size() >= 2);
        const QStringList polled = found.mid(0, MaxListedSensors);
        const QString count = polled == found ? "2 sensors" : "first 100 of the 150 sensors";
        QCOMPARE(messages,
                 QStringList{"source bus: polls the " + count + " the bus shows: " + polled.join(", ")});
        QCOMPARE(sensorsOf(), polled);
        QCOMPARE(changed.size(), 1);
    }
    reader.found = foundLater;
    runner.refresh();
    QTRY_COMPARE(reader.discoveries, 2);
    const int sweepsBefore = int(sweeps.size());
    QTRY_VERIFY(sweeps.size() >= sweepsBefore + 2);
    QCOMPARE(sensorsOf(), foundLater.mid(0, MaxListedSensors));
    QCOMPARE(changed.size(), found == foundLater ? 1 : int(found.isEmpty() ? 1 : 2));
    QVERIFY(store.source(QStringLiteral("bus"))->reachable());
    // Each new set of sensors is told, and the failure once.
    QCOMPARE(messages.size(),
             (found.isEmpty() ? 1 : 0) + (found.isEmpty() ? 1 : 1 + int(found != foundLater)));
    QVERIFY2(messages.last().startsWith(QStringLiteral("source bus: polls the ")),
             qPrintable(messages.last()));
    runner.stop();
}

void TestServiceProgram::exitStatusesAreDocumented_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("meaning");
    QTest::addColumn<bool>("restartMends");
    for (const service::ExitStatusMeaning& entry : service::ExitStatuses)
        QTest::addRow("%d", int(entry.status))
            << int(entry.status) << QString::fromLatin1(entry.meaning.data(), qsizetype(entry.meaning.size()))
            << entry.restartMends;
}

// The usage text, the manual page and the unit each say what the one table says.
void TestServiceProgram::exitStatusesAreDocumented()
{
    QFETCH(int, status);
    QFETCH(QString, meaning);
    QFETCH(bool, restartMends);
    const QString usage = service::serviceUsage().simplified();
    QVERIFY2(usage.contains(QStringLiteral("%1 %2").arg(status).arg(meaning)), qPrintable(usage));

    const QString packaging = QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../packaging/");
    const QString manual = QString::fromUtf8(readAll(packaging + QStringLiteral("quorvel3d.1.in")));
    const QString exitSection =
        manual.section(QStringLiteral(".SH EXIT STATUS"), 1).section(QStringLiteral(".SH "), 0, 0);
    QVERIFY2(exitSection.contains(QStringLiteral(".B %1\n").arg(status)), qPrintable(exitSection));

    const QString unit = QString::fromUtf8(readAll(packaging + QStringLiteral("quorvel3d.service")));
    const QStringList prevented = unit.section(QStringLiteral("RestartPreventExitStatus="), 1)
                                      .section(QLatin1Char('\n'), 0, 0)
                                      .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QVERIFY(!prevented.isEmpty());
    QCOMPARE(prevented.contains(QString::number(status)), status != 0 && !restartMends);
}

void TestServiceProgram::sharedNamesAreDocumented_data()
{
    QTest::addColumn<QString>("document"); // under the source tree
    QTest::addColumn<QString>("quoted");   // white space folded
    const QString manual = QStringLiteral("packaging/quorvel3d.1.in");
    const QString readme = QStringLiteral("README.md");
    for (const service::names::MetricFamily& family : service::names::MetricFamilies)
        QTest::addRow("%s", family.name) << manual << QString::fromLatin1(family.name);
    QTest::newRow("schema, README")
        << readme << QStringLiteral("(schema `version` %1)").arg(service::statuspage::ReadingsSchemaVersion);
    QTest::newRow("schema, manual")
        << manual << QStringLiteral("(schema version %1)").arg(service::statuspage::ReadingsSchemaVersion);
    QTest::newRow("failures key") << readme
                                  << QStringLiteral("`%1`").arg(service::names::ConsecutiveFailures);
    for (const char* leaf : {service::names::AlarmLeaf, service::names::AlarmAttributesLeaf}) {
        QTest::addRow("topic %s, README", leaf) << readme << QStringLiteral("`<base>/<ROM>/%1`").arg(leaf);
        QTest::addRow("topic %s, manual", leaf) << manual << QStringLiteral(".IB BASE / ROM /%1 ").arg(leaf);
    }
    for (const char* key : {service::names::RawTemperature, service::names::Alarm, service::names::Since,
                            service::names::Hold, service::names::Hysteresis}) {
        QTest::addRow("attribute %s, README", key) << readme << QStringLiteral("`%1`").arg(key);
        QTest::addRow("attribute %s, manual", key) << manual << QStringLiteral(".BR %1 ").arg(key);
    }
    const service::HttpLimits limits;
    for (const QString& document : {readme, manual}) {
        QTest::addRow("connections, %s", qPrintable(document))
            << document << QStringLiteral("%1 connections").arg(limits.maxConnections);
        QTest::addRow("per address, %s", qPrintable(document))
            << document << QStringLiteral("%1 from one address").arg(limits.maxPerAddress);
        QTest::addRow("head, %s", qPrintable(document))
            << document << QStringLiteral("%1 KiB").arg(limits.maxHeadBytes / 1024);
        QTest::addRow("bcrypt cost, %s", qPrintable(document)) << document
                                                               << QStringLiteral("cost %1 to %2")
                                                                      .arg(service::BasicAuth::MinCost)
                                                                      .arg(service::BasicAuth::MaxCost);
    }
}

// Where the README and the manual page quote a name or a bound, they quote the one the code has.
void TestServiceProgram::sharedNamesAreDocumented()
{
    QFETCH(QString, document);
    QFETCH(QString, quoted);
    const QString text =
        QString::fromUtf8(readAll(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../") + document)).simplified();
    QVERIFY2(!text.isEmpty(), qPrintable(document));
    QVERIFY2(text.contains(quoted),
             qPrintable(QStringLiteral("%1 does not say \"%2\"").arg(document, quoted)));
}

void TestServiceProgram::optionsAreDocumented_data()
{
    QTest::addColumn<int>("row");
    const QList<service::OptionSpec>& table = service::serviceOptionTable();
    for (qsizetype row = 0; row < table.size(); ++row)
        QTest::newRow(qPrintable(table.at(row).names.first())) << int(row);
}

// The synopses agree, and the manual page's entry and README's list give each name with its value, the
// entry also its default and bounds, as the one table says them.
void TestServiceProgram::optionsAreDocumented()
{
    QFETCH(int, row);
    const service::OptionSpec& option = service::serviceOptionTable().at(row);
    const QString manual =
        QString::fromUtf8(readAll(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../packaging/quorvel3d.1.in")));
    const QString usage =
        service::serviceUsage().section(QStringLiteral("\n\n"), 0, 0).remove(QRegularExpression("\\s"));
    QCOMPARE("Usage:" + manWords(manual.section(".SH SYNOPSIS", 1).section(".br", 0, 0)), usage);

    QStringList entries = manual.section(".SH OPTIONS", 1).section(".SH ", 0, 0).split(".TP\n");
    for (QString& entry : entries)
        entry = manWords(entry);
    const QString readme =
        QString::fromUtf8(readAll(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../README.md")));
    const QString optionList =
        readme.section("## Running as a service", 1).section("\nOptions: ", 1).section("\n\n", 0, 0);
    for (const QString& name : option.names) {
        const QString spelled =
            QStringLiteral("--") + name + (option.valueName.isEmpty() ? "" : u' ' + option.valueName);
        const auto entry = std::find_if(entries.begin(), entries.end(), [&](const QString& text) {
            return text.contains(QString(spelled).remove(u' '));
        });
        QVERIFY2(entry != entries.end(), qPrintable(spelled));
        for (const QString& limit : service::optionLimits(option))
            QVERIFY2(entry->contains(QString(limit).remove(u' ')), qPrintable(*entry));
        QVERIFY2(optionList.contains(u'`' + spelled + u'`'), qPrintable(spelled));
    }
}

void TestServiceProgram::commandLines_data()
{
    QTest::addColumn<QString>("line");    // the arguments, a blank between two
    QTest::addColumn<QString>("outcome"); // an error as it starts
    const auto row = [](const char* line, const char* outcome) { QTest::newRow(line) << line << outcome; };
    row("--log x", "log x");
    row("--log -", "log -");
    row("--log=x --locale de_DE --sweeps 9223372036854775807",
        "log x, locale de_DE, sweeps 9223372036854775807");
    row("--log --help", "log --help"); // a value may start with a dash
    row("--metrics 127.0.0.1:9300", "listen 127.0.0.1:9300");
    row("--listen=127.0.0.1:0 --stale-after 31622400", "listen 127.0.0.1:0, stale-after 31622400");
    row("--check --adapter 127.0.0.1:8080 --sensors s --web-config w",
        "adapter 127.0.0.1:8080, web-config w, sensors s, check");
    row("--mqtt-user bob --mqtt-password-file p --mqtt mqtts://127.0.0.1 --mqtt-cafile ca",
        "mqtts://127.0.0.1:8883 topic quorvel3d/<host>, cafile ca, user bob, password-file p");
    row("--mqtt mqtt://localhost:65535 --mqtt-topic a/b --no-discovery --discovery-prefix h/x "
        "--mqtt-expire-after 0 --mqtt-keepalive 3600",
        "mqtt://localhost:65535 topic a/b, no-discovery, prefix h/x, expire-after 0, keepalive 3600");
    row("--mqtt mqtt://127.0.0.1 --mqtt-expire-after 86400 --mqtt-keepalive 5",
        "mqtt://127.0.0.1:1883 topic quorvel3d/<host>, expire-after 86400, keepalive 5");
    row("-h", "help");
    row("--help --bogus", "help");
    row("--log x --version --help", "version");

    row("", "nothing to do: give --log, --listen, --mqtt or any of them");
    row("--log x --bogus", "unknown option --bogus");
    row("-log x", "unknown option -log");
    row("--log x pos", "unexpected argument \"pos\"");
    row("--log x -", "unexpected argument \"-\"");
    row("--log", "Missing value after '--log'.");
    row("--check=yes", "Unexpected value after '--check'.");
    row("--log=", "invalid value \"\" for --log: expected a file name or -");
    row("--log x --log y", "option --log given twice");
    row("--metrics 127.0.0.1:9300 --listen 127.0.0.1:9301", "option --listen given twice");
    row("--check --check", "option --check given twice");
    row("--log x --adapter 127.0.0", "invalid value \"127.0.0\" for --adapter: expected an IPv4");
    row("--log x --adapter=127.0.0.1:0", "invalid value \"127.0.0.1:0\" for --adapter");
    row("--metrics 127.0.0.1", "invalid value \"127.0.0.1\" for --metrics: expected an IPv4 address and");
    row("--metrics 127.0.0.1:65536", "invalid value \"127.0.0.1:65536\" for --metrics");
    row("--log x --sweeps 0", "invalid value \"0\" for --sweeps: expected a whole number, at least 1");
    row("--log x --sweeps +3", "invalid value \"+3\" for --sweeps");
    row("--log x --stale-after 31622401", "invalid value \"31622401\" for --stale-after: expected a whole");
    row("--log x --locale xx_QQ", "invalid value \"xx_QQ\" for --locale: not a locale name");
    row("--log x --sensors", "Missing value after '--sensors'.");
    row("--log x --sensors=", "invalid value \"\" for --sensors: expected the sensor list's file name");
    row("--mqtt 127.0.0.1:1883",
        "invalid value \"127.0.0.1:1883\" for --mqtt: expected mqtt://HOST[:PORT] or");
    row("--mqtt mqtt://127.0.0.1:0", "invalid value \"mqtt://127.0.0.1:0\" for --mqtt");
    row("--mqtt mqtt://127.0.0.1/x", "invalid value \"mqtt://127.0.0.1/x\" for --mqtt");
    row("--log x --mqtt-user bob", "option --mqtt-user needs --mqtt");
    row("--mqtt mqtt://127.0.0.1 --mqtt-cafile ca", "option --mqtt-cafile needs an mqtts:// broker");
    row("--mqtt mqtt://127.0.0.1 --mqtt-password-file p", "option --mqtt-password-file needs --mqtt-user");
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic a/#", "invalid value \"a/#\" for --mqtt-topic: expected topic");
    row("--mqtt mqtt://127.0.0.1 --discovery-prefix a//b", "invalid value \"a//b\" for --discovery-prefix");
    row("--mqtt mqtt://127.0.0.1 --mqtt-keepalive 4",
        "invalid value \"4\" for --mqtt-keepalive: expected a whole");
    row("--mqtt mqtt://127.0.0.1 --mqtt-expire-after 86401", "invalid value \"86401\" for --mqtt-expire");
    row("--mqtt mqtt://127.0.0.1 --no-discovery=1", "Unexpected value after '--no-discovery'.");
    // Bases whose topics land where others read.
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic homeassistant/box", "option --mqtt-topic: the base");
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic $SYS/box",
        "option --mqtt-topic: the base $SYS/box starts with $");
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic homeassistant --discovery-prefix ha",
        "option --mqtt-topic: the base homeassistant would write homeassistant/status");
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic ha --mqtt-assistant-status ha/status",
        "option --mqtt-topic: the base ha would write ha/status");
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic homeassistant --discovery-prefix ha --mqtt-assistant-status "
        "ha/up",
        "mqtt://127.0.0.1:1883 topic homeassistant, prefix ha, assistant-status ha/up");
    row("--mqtt mqtt://127.0.0.1 --mqtt-assistant-status ha/+",
        "invalid value \"ha/+\" for --mqtt-assistant");
}

void TestServiceProgram::commandLines()
{
    QFETCH(QString, line);
    QFETCH(QString, outcome);
    const auto parsed =
        service::parseServiceOptions(QStringList{"quorvel3d"} + line.split(u' ', Qt::SkipEmptyParts));
    const QString got = outcomeOf(parsed);
    outcome.replace(QStringLiteral("<host>"), QSysInfo::machineHostName());
    QCOMPARE(parsed.action == service::ParsedOptions::Action::Error ? got.left(outcome.size()) : got,
             outcome);
}

void TestServiceProgram::boardShowsEachSensor_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("reads"); // outcome labels of sensor 1, a minute apart
    QTest::addColumn<QJsonValue>("temperature");
    QTest::addColumn<bool>("stale");
    QTest::addColumn<QString>("shown"); // in the page's temperature cell
    QTest::newRow("never read") << "Cellar" << QStringList{} << QJsonValue(QJsonValue::Null) << true
                                << "\u2014";
    QTest::newRow("read") << "Cellar" << QStringList{"ok"} << QJsonValue(20.5) << false << "20.5 \u00b0C";
    QTest::newRow("failing since") << "Cellar" << QStringList{"ok", "no_answer", "no_answer"}
                                   << QJsonValue(20.5) << false << "20.5 \u00b0C";
    QTest::newRow("power-on value never shown")
        << "Cellar" << QStringList{"ok", "power_on_reset"} << QJsonValue(20.5) << false << "power-on reset";
    QTest::newRow("a name that is markup") << "<script>alert(1)</script>\"onload=" << QStringList{"ok"}
                                           << QJsonValue(20.5) << false << "20.5 \u00b0C";
    QTest::newRow("a name with ESC, CR, NUL, C1 and a bidi override")
        << QString::fromUtf8("Cel\x1b[2Jlar\r\x00\xc2\x9b\xe2\x80\xaeraf", 20) << QStringList{"ok"}
        << QJsonValue(20.5) << false << "20.5 \u00b0C";
}

// The JSON and the page say the same of a sensor, and the page shows every text as text.
void TestServiceProgram::boardShowsEachSensor()
{
    QFETCH(QString, name);
    QFETCH(QStringList, reads);
    QFETCH(QJsonValue, temperature);
    QFETCH(bool, stale);
    QFETCH(QString, shown);
    const QDateTime started = QDateTime::fromSecsSinceEpoch(1'700'000'000);
    QList<ListedSensor> sensors = builtInSensors();
    sensors[0].name = name;
    service::StateStore store(300, true);
    // A log path that looks like it holds placeholders is shown as it is.
    store.addSource(Source, Kind, Adapter, sensors, QStringLiteral("/var/log/q%1%4.log"), started).logNotice =
        QStringLiteral("notice");
    QDateTime when = started;
    for (const QString& read : reads) {
        when = when.addSecs(60);
        store.onRead(Source, readOf(0, outcomeOf(read), when));
    }
    const QDateTime now = started.addSecs(330);
    const QJsonObject json = QJsonDocument::fromJson(service::statuspage::readingsJson(store, now)).object();
    QCOMPARE(json.value(u"version").toInt(), service::statuspage::ReadingsSchemaVersion);
    const QJsonObject source = json.value(u"sources").toArray().at(0).toObject();
    QCOMPARE(source.value(u"name").toString(), Source);
    const QJsonObject first = source.value(u"sensors").toArray().at(0).toObject();
    QCOMPARE(first.keys(), QStringList({"alarm", "alarm_since", "consecutive_failures", "high",
                                        "last_success", "low", "name", "raw_temperature", "reason", "result",
                                        "rom", "slot", "stale", "temperature"}));
    QCOMPARE(first.value(u"name").toString(), name);
    QCOMPARE(first.value(u"temperature"), temperature);
    QCOMPARE(first.value(u"stale").toBool(), stale);
    QCOMPARE(first.value(u"result").toString(), reads.isEmpty() ? QString() : reads.last());
    QCOMPARE(first.value(u"consecutive_failures").toInt(),
             int(reads.size() - reads.lastIndexOf(QStringLiteral("ok")) - 1));
    QCOMPARE(source.value(u"sensors").toArray().size(), SensorCount);

    const QString page = QString::fromUtf8(service::statuspage::html(store, now));
    const QString row =
        page.section(QStringLiteral(" id=\"sensor-adapter-1\""), 1).section(QStringLiteral("</tr>"), 0, 0);
    QVERIFY2(row.contains(service::statuspage::escapeHtml(name) + QStringLiteral(" <span")), qPrintable(row));
    QVERIFY(!page.contains(QLatin1String("<script>alert")) && !page.contains(QLatin1String("\"onload=")));
    QVERIFY2(
        page.contains(QStringLiteral("<p>Log: /var/log/q%1%4.log, <span data-key=\"log-counts\">0 records "
                                     "written, 0 lost</span> <span class=\"bad\">notice</span></p>")),
        qPrintable(page));
    // Nothing in a name acts unseen on the page, in the labels or in the chart's legend.
    const QString metricsText = QString::fromUtf8(service::ServiceMetrics(store, {}).exposition());
    const QString chart = QString::fromUtf8(service::statuspage::chartSvg(store, now));
    for (const QString& shownText : {page, metricsText, chart})
        QVERIFY(std::none_of(shownText.cbegin(), shownText.cend(), [](QChar c) {
            return c != u'\n' && service::statuspage::actsUnseen(c.unicode());
        }));
    QVERIFY2(row.contains(QStringLiteral("data-key=\"temperature\" class=\"num\">") + shown),
             qPrintable(row));
    QCOMPARE(row.contains(QLatin1String("data-key=\"stale\">")), stale);
    QCOMPARE(page.count(QLatin1String("<tr id=\"sensor-")), SensorCount);
    // Minutes of history stand at the right end of the day's frame, 160 wide.
    const QString spark = row.section(QStringLiteral("<polyline points=\""), 1).section(u',', 0, 0);
    if (!spark.isEmpty())
        QVERIFY2(spark.toDouble() > 150, qPrintable(row));
    // One time zone, said alike on the page and in its chart.
    const QString zone = quorvel::runtime::localZoneText(now);
    QVERIFY2(page.contains(QStringLiteral("Shown %1, %2").arg(now.toString(u"yyyy-MM-dd HH:mm:ss"), zone)),
             qPrintable(page.left(1500)));
    QVERIFY(QString::fromUtf8(service::statuspage::chartSvg(store, now)).contains(zone));
    // The page's script puts the texts the JSON carries into the cells: those the page was served with.
    const QJsonObject texts = source.value(u"page").toObject().value(u"sensors").toArray().at(0).toObject();
    for (const QString key : {"temperature", "age", "result", "alarm"})
        QCOMPARE(
            service::statuspage::escapeHtml(texts.value(key).toString()),
            row.section("data-key=\"" + key + '"', 1).section(u'>', 1).section(QStringLiteral("</"), 0, 0));
}

void TestServiceProgram::historyIsBoundedAndRefilled_data()
{
    QTest::addColumn<int>("sensors");
    QTest::addColumn<int>("minutes"); // a record every minute for this long, ending now
    QTest::newRow("13 sensors, an hour") << 13 << 60;
    QTest::newRow("13 sensors, two days") << 13 << 2 * 1440;
    QTest::newRow("100 sensors, a day and a minute") << 100 << 1441;
}

// One point a minute for a day whatever was added, and a restart refills it from the log's end.
void TestServiceProgram::historyIsBoundedAndRefilled()
{
    QFETCH(int, sensors);
    QFETCH(int, minutes);
    const QDateTime now = QDateTime::currentDateTime();
    service::SensorHistory history(sensors);
    QCOMPARE(history.bytes(), std::size_t(sensors) * 1440 * 8);
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    LogSession session;
    QVERIFY(!session.open(path));
    session.setSyncEachRecord(false);
    for (int m = minutes - 1; m >= 0; --m) {
        const QDateTime when = now.addSecs(-60 * qint64(m));
        const SensorReadings readings(sensors, float(m % 50));
        LogRecorder(session, QLocale::c(), [when] { return when; }).writeRecord(readings);
        for (int slot = 0; slot < sensors; ++slot)
            history.add(slot, when, readings[slot]);
    }
    session.close();
    const qsizetype kept = std::min(minutes, 1440);
    QCOMPARE(history.points(sensors - 1, now).size(), kept);
    QCOMPARE(history.points(0, now).last().value, 0.0f);

    service::SensorHistory refilled(sensors);
    refilled.add(0, now, -1.0f); // read before the fill came: it wins its minute
    QCOMPARE(service::fillHistoryFromLog(refilled, path, QLocale::c(), now), qint64(kept));
    QCOMPARE(refilled.points(sensors - 1, now).size(), kept);
    QCOMPARE(refilled.points(0, now).last().value, -1.0f);
    // A list of another count does not take the log's lines for its own.
    service::SensorHistory other(sensors + 1);
    QCOMPARE(service::fillHistoryFromLog(other, path, QLocale::c(), now), qint64(0));

    // The chart draws a run per stretch of good reads: sensor 1 misses ten minutes, sensor 2 none.
    QList<ListedSensor> listed(sensors, ListedSensor{});
    service::StateStore store(300, true);
    service::SensorHistory& day = store.addSource(Source, Kind, Adapter, listed, path, now).history;
    for (int m = 0; m < std::min(minutes, 60); ++m)
        for (int slot = 0; slot < 2; ++slot)
            if (slot == 1 || m < 20 || m >= 30)
                day.add(slot, now.addSecs(-60 * qint64(m)), float(m));
    const QString chart = QString::fromUtf8(service::statuspage::chartSvg(store, now));
    const auto runs = [&](int sensor) {
        return chart.section(QStringLiteral("class=\"series\" data-sensor=\"%1\"").arg(sensor), 1)
            .section(QStringLiteral("</g>"), 0, 0)
            .count(QLatin1String("<polyline"));
    };
    QCOMPARE(runs(1), 2);
    QCOMPARE(runs(2), 1);
    // The chart spans the whole day before now, whatever the history holds: an hour is its last 1/24.
    const auto attribute = [&](const QString& of, const QString& name) {
        return of.section(name + QStringLiteral("=\""), 1).section(u'"', 0, 0).toDouble();
    };
    const QString clip = chart.section(QStringLiteral("<clipPath"), 1);
    const QString run2 = chart.section(QStringLiteral("class=\"series\" data-sensor=\"2\""), 1);
    const double firstX = run2.section(QStringLiteral("points=\""), 1).section(u',', 0, 0).toDouble();
    const double left = attribute(clip, QStringLiteral("x"));
    const double width = attribute(clip, QStringLiteral("width"));
    QVERIFY2(firstX > left + width * (1 - 61.0 / 1440) - 3, qPrintable(QString::number(firstX)));
}

void TestServiceProgram::listenerAsksForTheLogin_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QByteArray>("login"); // user:password; empty: none sent
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("strangers"); // 0: none; 1: they guess after the login was taken once; 2: before
    for (const bool tls : {false, true}) {
        const char* over = tls ? "TLS" : "plain";
        QTest::addRow("%s, no login", over) << tls << QByteArray() << 401 << 0;
        QTest::addRow("%s, right password", over) << tls << QByteArray("scraper:s3cret") << 200 << 0;
        QTest::addRow("%s, wrong password", over) << tls << QByteArray("scraper:guess") << 401 << 0;
        QTest::addRow("%s, unknown user", over) << tls << QByteArray("nobody:s3cret") << 401 << 0;
    }
    QTest::newRow("right password, a NUL and more")
        << false << QByteArray("scraper:s3cret\0more", 19) << 401 << 0;
    QTest::newRow("right password again while strangers guess")
        << false << QByteArray("scraper:s3cret") << 200 << 1;
    QTest::newRow("a first login while strangers fill the queue of checks")
        << false << QByteArray("scraper:s3cret") << 200 << 2;
}

// The web configuration's TLS and users, as a scraper meets them; bcrypt made here at its lowest cost.
// Strangers guess from 127.0.0.2 and .3: unknown users enough to fill the memory of wrong headers, and
// wrong passwords on every connection the listener takes, so that the checks queue up.
void TestServiceProgram::listenerAsksForTheLogin()
{
    QFETCH(bool, tls);
    QFETCH(QByteArray, login);
    QFETCH(int, status);
    QFETCH(int, strangers);
    const QByteArray hash = crypt("s3cret", "$2b$10$abcdefghijklmnopqrstuu");
    QByteArray yaml = "basic_auth_users:\n  scraper: " + hash + '\n';
    if (tls) {
        QProcess openssl;
        openssl.setWorkingDirectory(dir_->path());
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                       "-keyout", "key.pem", "-out", "cert.pem", "-days", "1", "-subj", "/CN=127.0.0.1"});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
            QSKIP("openssl cannot make a certificate here");
        yaml += "tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n";
    }
    QVERIFY(writeFile(dir_->filePath(QStringLiteral("web.yml")), yaml));
    const service::WebConfigResult config = service::readWebConfig(dir_->filePath(QStringLiteral("web.yml")));
    QVERIFY2(config.config, qPrintable(config.error));
    service::StateStore store(300, true);
    store.addSource(Source, Kind, Adapter, builtInSensors(), {});
    const service::ServiceMetrics metrics(store, QStringLiteral("1.0.0"));
    auto server = std::make_unique<service::StatusServer>(store, metrics);
    QCOMPARE(server->configure(*config.config), std::nullopt);
    const auto bound = server->listenOn({QHostAddress::LocalHost, 0});
    QVERIFY2(bound.port, qPrintable(bound.error));

    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(QStringLiteral("%1://127.0.0.1:%2/readings.json")
                                     .arg(tls ? QStringLiteral("https") : QStringLiteral("http"))
                                     .arg(bound.port)));
    if (!login.isEmpty())
        request.setRawHeader("Authorization", "Basic " + login.toBase64());
    const auto ask = [&] {
        QNetworkReply* reply = network.get(request);
        connect(reply, &QNetworkReply::sslErrors, reply, [reply] { reply->ignoreSslErrors(); });
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
        return reply;
    };
    if (strangers == 1) {
        QPointer<QNetworkReply> first = ask();
        QTRY_VERIFY_WITH_TIMEOUT(!first, 10000);
    }
    std::vector<std::unique_ptr<QTcpSocket>> guessers;
    const auto guess = [&](int from, const QByteArray& requests) {
        auto& socket = guessers.emplace_back(std::make_unique<QTcpSocket>());
        QVERIFY(socket->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(from))));
        socket->connectToHost(QHostAddress::LocalHost, bound.port);
        socket->write(requests);
    };
    const auto asking = [](const QByteArray& credentials) {
        return "GET /metrics HTTP/1.1\r\nAuthorization: Basic " + credentials.toBase64() + "\r\n\r\n";
    };
    if (strangers > 0) {
        QByteArray unknown;
        for (int i = 0; i < 2 * service::BasicAuth::CachedHeaders; ++i)
            unknown += asking("nobody" + QByteArray::number(i) + ":guess");
        guess(2, unknown);
        QTRY_COMPARE_WITH_TIMEOUT(guessers.back()->peek(1 << 20).count(" 401 "),
                                  2 * service::BasicAuth::CachedHeaders, 10000);
        guessers.clear();
        for (int i = 0; i < service::BasicAuth::QueuedChecks; ++i)
            guess(2 + i % 2, asking("scraper:guess" + QByteArray::number(i)));
        for (const auto& socket : guessers)
            QVERIFY(socket->waitForBytesWritten(5000));
    }
    QNetworkReply* reply = ask();
    QSignalSpy done(reply, &QNetworkReply::finished);
    QVERIFY(reply->isFinished() || done.wait(10000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(reply->rawHeader("X-Content-Type-Options"), QByteArray("nosniff"));
    if (status == 401)
        QVERIFY(reply->rawHeader("WWW-Authenticate").startsWith("Basic realm="));
    else
        QVERIFY(QJsonDocument::fromJson(reply->readAll()).isObject());
    if (strangers > 0) {
        // Strangers' checks still queued or running hold nothing up at exit: not one bcrypt round.
        QElapsedTimer stopping;
        stopping.start();
        server.reset();
        const qint64 stopMs = stopping.elapsed();
        QElapsedTimer round;
        round.start();
        QVERIFY(service::BasicAuth::matches("s3cret", hash));
        QVERIFY2(stopMs < round.elapsed(), qPrintable(QString::number(stopMs)));
    }
}

namespace {

service::MqttOptions mqttOptions(int expireAfter = 300)
{
    service::MqttOptions options;
    options.baseTopic = QStringLiteral("q/box");
    options.expireAfter = expireAfter;
    return options;
}

} // namespace

void TestServiceProgram::mqttMessagesOfEachRead_data()
{
    QTest::addColumn<QStringList>("outcomes");     // slot 0's reads, in order, a minute apart
    QTest::addColumn<QStringList>("temperatures"); // the temperatures published, in order
    QTest::addColumn<int>("attributesSent");       // only when the result or the reason changed
    QTest::addColumn<int>("expireAfter");
    QTest::addColumn<bool>("stateHasTemperature"); // what a new connection gets a minute after the last read
    QTest::newRow("ok") << QStringList{"ok"} << QStringList{"20.5"} << 1 << 300 << true;
    QTest::newRow("failure keeps the last success")
        << QStringList{"ok", "http_error", "no_answer"} << QStringList{"20.5"} << 3 << 300 << true;
    QTest::newRow("power-on value is no temperature")
        << QStringList{"power_on_reset"} << QStringList{} << 1 << 300 << false;
    QTest::newRow("then believed") << QStringList{"power_on_reset", "ok"} << QStringList{"20.5"} << 2 << 300
                                   << true;
    QTest::newRow("never read") << QStringList{"no_element"} << QStringList{} << 1 << 300 << false;
    QTest::newRow("good reads: attributes once")
        << QStringList{"ok", "ok", "ok"} << QStringList{"20.5", "20.5", "20.5"} << 1 << 300 << true;
    QTest::newRow("the same failure again: attributes once more")
        << QStringList{"ok", "no_answer", "no_answer", "no_answer"} << QStringList{"20.5"} << 2 << 300
        << true;
    // A last success as old as expire_after is stale: sending it again would show it as fresh.
    QTest::newRow("stale at expire_after")
        << QStringList{"ok", "no_answer"} << QStringList{"20.5"} << 2 << 120 << false;
    QTest::newRow("just younger") << QStringList{"ok", "no_answer"} << QStringList{"20.5"} << 2 << 121
                                  << true;
    QTest::newRow("never stale") << QStringList{"ok", "no_answer"} << QStringList{"20.5"} << 2 << 0 << true;
}

void TestServiceProgram::mqttMessagesOfEachRead()
{
    QFETCH(QStringList, outcomes);
    QFETCH(QStringList, temperatures);
    QFETCH(int, attributesSent);
    QFETCH(int, expireAfter);
    QFETCH(bool, stateHasTemperature);
    const QList<ListedSensor> sensors{{romOf(0), QStringLiteral("Cellar")}, {romOf(1), {}}};
    service::StateStore store(300, false);
    const service::SourceState& source = store.addSource(Source, Kind, Adapter, sensors, {});
    const service::MqttMessages messages(mqttOptions(expireAfter), store, Source, QStringLiteral("1.0.0"));
    const QString base = QStringLiteral("q/box/") + romOf(0);
    QDateTime when = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::OffsetFromUTC, 3600);
    QDateTime since;
    QString previous;
    QStringList published;
    QJsonObject attributes;
    int sent = 0;
    for (const QString& outcome : outcomes) {
        const SensorReading reading = readOf(0, outcomeOf(outcome), when);
        store.onRead(Source, reading);
        for (const service::MqttMessage& message : messages.onRead(source.sensors.front(), reading)) {
            QVERIFY(message.retain);
            if (message.topic == base + QStringLiteral("/temperature"))
                published << QString::fromLatin1(message.payload);
            if (message.topic == base + QStringLiteral("/attributes")) {
                attributes = QJsonDocument::fromJson(message.payload).object();
                ++sent;
            }
        }
        if (outcome != std::exchange(previous, outcome))
            since = when;
        when = when.addSecs(60);
    }
    QCOMPARE(published, temperatures);
    QCOMPARE(sent, attributesSent);
    QCOMPARE(attributes.value("result").toString(), outcomes.last());
    QCOMPARE(attributes.value("name").toString(), QStringLiteral("Cellar"));
    QCOMPARE(attributes.value("slot").toInt(), 1);
    QCOMPARE(attributes.value("since").toString(), since.toString(Qt::ISODate));
    QVERIFY(attributes.value("since").toString().endsWith(QLatin1String("+01:00")));

    // A new connection: the second sensor was never read and gets nothing.
    const QList<service::MqttMessage> state = messages.currentState(when);
    QStringList topics;
    for (const service::MqttMessage& message : state)
        topics << message.topic;
    QCOMPARE(topics, (stateHasTemperature ? QStringList{base + "/temperature", base + "/attributes"}
                                          : QStringList{base + "/attributes"}));
    const QList<service::MqttMessage> configs = messages.discoveryConfigs();
    QCOMPARE(configs.size(), 2);
    QCOMPARE(QJsonDocument::fromJson(configs.at(1).payload).object().value("name").toString(),
             QStringLiteral("Sensor 2"));
    QCOMPARE(QJsonDocument::fromJson(configs.at(0).payload).object().contains("expire_after"),
             expireAfter > 0);
}

void TestServiceProgram::mqttAlarmOfASensorWithLimits_data()
{
    using Settings = service::SensorSettings;
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<QList<float>>("raws"); // slot 0's good reads a minute apart; NaN: silence to stale
    QTest::addColumn<QString>("alarm");     // the alarm state published last; empty: no binary sensor
    QTest::addColumn<int>("changes");
    const float silence = std::numeric_limits<float>::quiet_NaN();
    QTest::newRow("no limits: none, an offset's raw value in the attributes")
        << Settings{.offset = -0.25, .low = {}, .high = {}} << QList<float>{20.5f, 40} << QString() << 0;
    QTest::newRow("limits, never crossed: ok")
        << Settings{.low = 10, .high = 30} << QList<float>{20.5f} << "ok" << 0;
    QTest::newRow("high only, crossed")
        << Settings{.low = {}, .high = 30} << QList<float>{20.5f, 30.5f} << "high" << 1;
    QTest::newRow("low only, crossed after an offset")
        << Settings{.offset = -0.5, .low = 10, .high = {}} << QList<float>{10.25f} << "low" << 1;
    QTest::newRow("silent: stale") << Settings{.low = 10, .high = 30} << QList<float>{20.5f, silence}
                                   << "stale" << 1;
    QTest::newRow("high, then back inside beyond the hysteresis")
        << Settings{.low = 10, .high = 30, .holdSeconds = 60} << QList<float>{31, 31, 29.25f} << "ok" << 2;
}

// Home Assistant's binary sensor per sensor with limits: its config, its state on every change and for a new
// connection, its attributes, and what clears it.
void TestServiceProgram::mqttAlarmOfASensorWithLimits()
{
    QFETCH(service::SensorSettings, settings);
    QFETCH(QList<float>, raws);
    QFETCH(QString, alarm);
    QFETCH(int, changes);
    QDateTime when = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::OffsetFromUTC, 3600);
    service::StateStore store(300, false);
    store.setClock([&when] { return when; });
    auto timer = std::make_unique<testing::ManualTimer>();
    testing::ManualTimer& stale = *timer;
    store.setStaleTimer(std::move(timer));
    store.addSource(Source, Kind, Adapter, {{romOf(0), QStringLiteral("Freezer")}, {romOf(1), {}}}, {}, when,
                    {{romOf(0), settings}});
    const service::SensorState& sensor = store.source(Source)->sensors.front();
    const service::MqttMessages messages(mqttOptions(), store, Source, QStringLiteral("1.0.0"));
    const QString base = QStringLiteral("q/box/") + romOf(0);
    QList<service::MqttMessage> published;
    connect(&store, &service::StateStore::alarmChanged, this,
            [&](const service::SensorState& changed) { published << messages.onAlarm(changed); });
    QJsonObject attributes;
    for (const float raw : raws) {
        when = when.addSecs(qIsNaN(raw) ? 300 : 60);
        if (qIsNaN(raw)) {
            stale.fire();
            continue;
        }
        SensorReading reading = readOf(0, ReadOutcome::Ok, when);
        reading.raw = raw;
        reading.value = raw + float(settings.offset);
        store.onRead(Source, reading);
        for (const service::MqttMessage& message : messages.onRead(sensor, reading))
            if (message.topic == base + QStringLiteral("/attributes"))
                attributes = QJsonDocument::fromJson(message.payload).object();
    }
    // A calibrated sensor's raw value, at every good read; none without an offset.
    QCOMPARE(attributes.value("raw_temperature").toDouble(qQNaN()),
             settings.offset != 0 ? raws.last() : qQNaN());

    QMap<QString, QJsonObject> configs;
    for (const service::MqttMessage& config : messages.discoveryConfigs()) {
        configs.insert(config.topic, QJsonDocument::fromJson(config.payload).object());
        QVERIFY(messages.clearStale(config.topic, config.payload).isEmpty()); // ours and listed
    }
    const QString alarmConfig = "homeassistant/binary_sensor/quorvel3d_" + romOf(0) + "/config";
    QCOMPARE(configs.size(), alarm.isEmpty() ? 2 : 3);
    QStringList cleared;
    for (const service::MqttMessage& message : messages.clearAll())
        cleared << message.topic;
    QCOMPARE(cleared.contains(alarmConfig) && cleared.contains(base + "/alarm_attributes"), !alarm.isEmpty());
    QStringList current;
    for (const service::MqttMessage& message : messages.currentState(when))
        if (message.topic.startsWith(base + "/alarm"))
            current << message.topic + ' ' + QString::fromLatin1(message.payload).left(5);
    QCOMPARE(published.size(), 2 * changes);
    if (alarm.isEmpty()) {
        QVERIFY(current.isEmpty());
        return;
    }
    const QJsonObject config = configs.value(alarmConfig);
    QCOMPARE(config.value("unique_id").toString(), "quorvel3d_" + romOf(0) + "_alarm");
    QCOMPARE(config.value("device_class").toString(), QStringLiteral("problem"));
    QCOMPARE(config.value("state_topic").toString() + ' ' + config.value("json_attributes_topic").toString(),
             base + "/alarm " + base + "/alarm_attributes");
    QCOMPARE(config.value("value_template").toString(),
             QStringLiteral("{{ 'OFF' if value == 'ok' else 'ON' }}"));
    QCOMPARE(config.value("device"),
             configs.value("homeassistant/sensor/quorvel3d_" + romOf(0) + "/config").value("device"));

    // The state on each change (none for a sensor that stays ok), its attributes beside it, all retained.
    QVERIFY(
        std::all_of(published.begin(), published.end(), [](const auto& message) { return message.retain; }));
    QCOMPARE(current, (QStringList{base + "/alarm " + alarm, base + "/alarm_attributes {\"ala"}));
    const auto limit = [](std::optional<double> value) { return value ? QJsonValue(*value) : QJsonValue(); };
    QCOMPARE(QJsonDocument::fromJson(messages.onAlarm(sensor).last().payload).object(),
             (QJsonObject{{"alarm", alarm},
                          {"since", runtime::isoWithOffset(sensor.alarm.since())},
                          {"low", limit(settings.low)},
                          {"high", limit(settings.high)},
                          {"hold", settings.holdSeconds},
                          {"hysteresis", 0.5}}));
}

void TestServiceProgram::mqttClearsOnlyItsOwnStaleConfigs_data()
{
    QTest::addColumn<QString>("source"); // empty: the command line's one source, topics q/box/<ROM>/...
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("cleared");
    const QString gone = QStringLiteral("homeassistant/sensor/quorvel3d_0000000000000028/config");
    const QString none;
    const QByteArray ours = R"({"device":{"identifiers":["quorvel3d_q_box"]},"unique_id":"quorvel3d_)";
    QTest::newRow("ours, no longer listed, with its state")
        << none << gone
        << ours + R"(0000000000000028","state_topic":"q/box/0000000000000028/temperature",)"
                  R"("json_attributes_topic":"q/box/0000000000000028/attributes"})"
        << QStringList{gone, "q/box/0000000000000028/temperature", "q/box/0000000000000028/attributes"};
    QTest::newRow("ours, its state elsewhere: the config only")
        << none << gone << ours + R"(0000000000000028","state_topic":"other/x/temperature"})"
        << QStringList{gone};
    QTest::newRow("ours and listed") << none << gone << ours + romOf(0).toLatin1() + R"("})" << QStringList{};
    QTest::newRow("another device's")
        << none << gone << QByteArray(R"({"device":{"identifiers":["quorvel3d_q_other"]},"unique_id":"x"})")
        << QStringList{};
    // Its base has an underscore where ours has a slash: it used to make the same identifier.
    QTest::newRow("the box with base q_box")
        << none << gone << QByteArray(R"({"device":{"identifiers":["@q_box"]},"unique_id":"x"})")
        << QStringList{};
    QTest::newRow("already cleared") << none << gone << QByteArray() << QStringList{};
    QTest::newRow("not JSON") << none << gone << QByteArray("{") << QStringList{};
    // From a configuration file: a device per source, its topics under q/box/<source>.
    QTest::newRow("source cellar: its own, with its state")
        << "cellar" << gone
        << QByteArray(R"({"device":{"identifiers":["@q/box/cellar"]},"unique_id":"x",)"
                      R"("state_topic":"q/box/cellar/0000000000000028/temperature"})")
        << QStringList{gone, "q/box/cellar/0000000000000028/temperature"};
    QTest::newRow("source cellar: the source attic's")
        << "cellar" << gone << QByteArray(R"({"device":{"identifiers":["@q/box/attic"]},"unique_id":"x"})")
        << QStringList{};
    QTest::newRow("source cellar: the command line's device")
        << "cellar" << gone << ours + R"(0000000000000028"})" << QStringList{};
    QTest::newRow("ours, the alarm of a sensor without limits now, with its state")
        << none << QStringLiteral("homeassistant/binary_sensor/quorvel3d_") + romOf(0) + "/config"
        << ours + romOf(0).toLatin1() + R"(_alarm","state_topic":"q/box/)" + romOf(0).toLatin1() +
               R"(/alarm","json_attributes_topic":"q/box/)" + romOf(0).toLatin1() + R"(/alarm_attributes"})"
        << QStringList{QStringLiteral("homeassistant/binary_sensor/quorvel3d_") + romOf(0) + "/config",
                       "q/box/" + romOf(0) + "/alarm", "q/box/" + romOf(0) + "/alarm_attributes"};
    QTest::newRow("source cellar: a state of the base's own")
        << "cellar" << gone
        << QByteArray(R"({"device":{"identifiers":["@q/box/cellar"]},"unique_id":"x",)"
                      R"("state_topic":"q/box/0000000000000028/temperature"})")
        << QStringList{gone};
}

void TestServiceProgram::mqttClearsOnlyItsOwnStaleConfigs()
{
    QFETCH(QString, source);
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, cleared);
    const QString name = source.isEmpty() ? Source : source;
    service::StateStore store(300, false);
    store.addSource(name, Kind, Adapter, builtInSensors(), {});
    // "@base": the device identifier of the one source of a box with that base.
    static const QRegularExpression other(QStringLiteral("@([^\"]+)"));
    if (const QRegularExpressionMatch match = other.match(QString::fromUtf8(payload)); match.hasMatch()) {
        service::MqttOptions options = mqttOptions();
        options.baseTopic = match.captured(1);
        payload.replace(match.captured(0).toUtf8(),
                        service::MqttMessages(options, store, name, {}).deviceId().toUtf8());
    }
    const service::MqttMessages messages(mqttOptions(), store, name, QStringLiteral("1.0.0"),
                                         !source.isEmpty());
    QStringList topics;
    for (const service::MqttMessage& message : messages.clearStale(topic, payload)) {
        QVERIFY(message.payload.isEmpty() && message.retain);
        topics << message.topic;
    }
    QCOMPARE(topics, cleared);
}

QTEST_GUILESS_MAIN(TestServiceProgram)
#include "tst_serviceprogram.moc"
