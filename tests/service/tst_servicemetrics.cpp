#include "programfixture.h"
#include "scratchdir.h"
#include "servicefixture.h"

#include "service/app/serviceoptions.h"
#include "service/app/serviceprogram.h"
#include "service/outputs/web/servicemetrics.h"
#include "service/outputs/web/statusjson.h"
#include "service/state/statestore.h"

#include "runtime/conversions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

using namespace quorvel;
using namespace quorvel::acquisition;
using namespace quorvel::testing;

class TestServiceMetrics : public QObject {
    Q_OBJECT

private slots:
    void init() { dir_ = scratchDir(QStringLiteral("servicemetrics")); }
    void metricsCountEachOutcome_data();
    void metricsCountEachOutcome();
    void metricsKeepTheirFamiliesAndLabels();
    void metricsAgreeWithTheLastLine();
    void ownSensorListNamesTheMetrics();
    void offsetCorrectsEveryOutput_data();
    void offsetCorrectsEveryOutput();
    void outputsShowTheirLinks_data();
    void outputsShowTheirLinks();

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestServiceMetrics::metricsCountEachOutcome_data()
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

void TestServiceMetrics::metricsCountEachOutcome()
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
void TestServiceMetrics::metricsKeepTheirFamiliesAndLabels()
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
                                  "quorvel_sensor_info gauge",
                                  "quorvel_sensor_info{source,rom,id,power,resolution}",
                                  "quorvel_source_reachable gauge",
                                  "quorvel_source_reachable{source}",
                                  "quorvel_sweeps_total counter",
                                  "quorvel_sweeps_total{source}",
                                  "quorvel_sweep_overruns_total counter",
                                  "quorvel_sweep_overruns_total{source}",
                                  "quorvel_source_info gauge",
                                  "quorvel_source_info{source,kind,bulk_conversion}",
                                  "quorvel_source_read_failure_ratio gauge",
                                  "quorvel_source_recoveries_total counter",
                                  "quorvel_source_devices gauge",
                                  "quorvel_source_ghost_devices gauge",
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
                          "crc_error", "zero_scratchpad", "no_sensor", "read_error", "implausible"}));

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

    // Only a sweep past its interval counts as an overrun.
    acquisition::SweepReport late{
        Adapter, SensorReadings(SensorCount, 20.5f), QDateTime::currentDateTime(), true, 0, {}};
    late.overran = true;
    store.onSweep(Source, late);
    QCOMPARE(sample(metrics.exposition(), "quorvel_sweep_overruns_total{" + sourceLabels() + '}'), 1.0);
}

// Sensors with faults give each failure kind; the scrape agrees with the log's last line.
void TestServiceMetrics::metricsAgreeWithTheLastLine()
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
void TestServiceMetrics::ownSensorListNamesTheMetrics()
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

void TestServiceMetrics::offsetCorrectsEveryOutput_data()
{
    QTest::addColumn<double>("offset");
    QTest::addColumn<QString>("page"); // what the adapter's page says
    QTest::addColumn<float>("logged");
    QTest::addColumn<QString>("result");
    QTest::newRow("none: as read") << 0.0 << "21.5" << 21.5f << "ok";
    QTest::newRow("down a quarter") << -0.25 << "21.5" << 21.25f << "ok";
    QTest::newRow("up, below zero") << 0.5 << "-10.125" << -9.625f << "ok";
    // Tenths no float holds: the JSON writes them as the page and the log do, not widened to a double.
    QTest::newRow("a tenth") << 0.0 << "4.1" << 4.1f << "ok";
    QTest::newRow("a tenth, corrected") << 0.25 << "4.1" << 4.35f << "ok";
    // The power-on rule looks at the reading as it came: 85 is 85 whatever the sensor's offset.
    QTest::newRow("power-on value") << -0.25 << "85" << 84.75f << "power_on_reset";
}

// The offset is in the log, the JSON and the metrics alike; the JSON keeps the raw value beside it.
void TestServiceMetrics::offsetCorrectsEveryOutput()
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
    QCOMPARE(sensor.value(u"temperature"),
             good ? QJsonValue(runtime::singleToText(logged, QLocale::c()).toDouble())
                  : QJsonValue(QJsonValue::Null));
}

void TestServiceMetrics::outputsShowTheirLinks_data()
{
    QTest::addColumn<QString>("name"); // empty: no output configured
    QTest::addColumn<bool>("up");
    QTest::addColumn<qint64>("backlog");
    QTest::addColumn<QVariant>("oldestAge"); // seconds before the scrape; null: none waits
    QTest::addColumn<QString>("expected");   // the output families' samples
    QTest::newRow("none configured: no family") << "" << false << 0LL << QVariant() << "";
    QTest::newRow("caught up") << "vm" << true << 0LL << QVariant()
                               << "quorvel_output_lines_total{output=\"vm\",result=\"sent\"} 7\n"
                                  "quorvel_output_lines_total{output=\"vm\",result=\"dropped\"} 1\n"
                                  "quorvel_output_lines_total{output=\"vm\",result=\"lost\"} 2\n"
                                  "quorvel_output_backlog_lines{output=\"vm\"} "
                                  "0\nquorvel_output_oldest_unsent_seconds{output=\"vm\"} 0\n"
                                  "quorvel_output_up{output=\"vm\"} 1";
    QTest::newRow("down an hour, a name to escape")
        << "a\"b" << false << 1234LL << QVariant(3600)
        << "quorvel_output_lines_total{output=\"a\\\"b\",result=\"sent\"} 7\n"
           "quorvel_output_lines_total{output=\"a\\\"b\",result=\"dropped\"} 1\n"
           "quorvel_output_lines_total{output=\"a\\\"b\",result=\"lost\"} 2\n"
           "quorvel_output_backlog_lines{output=\"a\\\"b\"} 1234\n"
           "quorvel_output_oldest_unsent_seconds{output=\"a\\\"b\"} "
           "3600\nquorvel_output_up{output=\"a\\\"b\"} 0";
    // A clock set back since the sample was taken: an age is never negative.
    QTest::newRow("oldest from the future")
        << "vm" << true << 3LL << QVariant(-5)
        << "quorvel_output_lines_total{output=\"vm\",result=\"sent\"} 7\n"
           "quorvel_output_lines_total{output=\"vm\",result=\"dropped\"} 1\n"
           "quorvel_output_lines_total{output=\"vm\",result=\"lost\"} 2\n"
           "quorvel_output_backlog_lines{output=\"vm\"} "
           "3\nquorvel_output_oldest_unsent_seconds{output=\"vm\"} 0\n"
           "quorvel_output_up{output=\"vm\"} 1";
}

void TestServiceMetrics::outputsShowTheirLinks()
{
    QFETCH(QString, name);
    QFETCH(bool, up);
    QFETCH(qint64, backlog);
    QFETCH(QVariant, oldestAge);
    QFETCH(QString, expected);
    service::StateStore store(300, false);
    store.addSource(Source, Kind, Adapter, builtInSensors(), {});
    const qint64 now = 1'800'000'000;
    if (!name.isEmpty())
        store.outputs().append(
            {name,
             QStringLiteral("http://127.0.0.1:8428"),
             up,
             {},
             7,
             1,
             2,
             backlog,
             oldestAge.isNull() ? std::nullopt : std::optional(now - oldestAge.toLongLong())});
    QStringList samples;
    for (const QByteArray& line : service::ServiceMetrics(store, {}).exposition(now).split('\n'))
        if (line.startsWith("quorvel_output_"))
            samples << QString::fromUtf8(line);
    QCOMPARE(samples.join(u'\n'), expected);
}

QTEST_GUILESS_MAIN(TestServiceMetrics)
#include "tst_servicemetrics.moc"
