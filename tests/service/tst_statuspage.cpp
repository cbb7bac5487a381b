#include "historyrowwriter.h"
#include "programfixture.h"
#include "scratchdir.h"
#include "serviceprocess.h"
#include "yeargenerator.h"

#include "logfile/logrecorder.h"
#include "logfile/logsession.h"
#include "runtime/localeformats.h"
#include "service/history/historystore.h"
#include "service/outputs/web/servicemetrics.h"
#include "service/outputs/web/statuschart.h"
#include "service/outputs/web/statusjson.h"
#include "service/outputs/web/statuspage.h"
#include "service/outputs/web/statusserver.h"
#include "service/outputs/web/statustexts.h"
#include "service/state/historyfill.h"
#include "service/state/sensorhistory.h"
#include "service/state/statestore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

using namespace quorvel;
using namespace quorvel::acquisition;
using namespace quorvel::testing;

class TestStatusPage : public QObject {
    Q_OBJECT

private slots:
    void init() { dir_ = scratchDir(QStringLiteral("statuspage")); }
    void boardShowsEachSensor_data();
    void boardShowsEachSensor();
    void historyIsBoundedAndRefilled_data();
    void historyIsBoundedAndRefilled();
    void storeRoutes_data();
    void storeRoutes();
    void exportsAreCapped();
    void outputsAtTheFoot_data();
    void outputsAtTheFoot();
    void busHealthShown_data();
    void busHealthShown();
    void aGeneratedYear();

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestStatusPage::boardShowsEachSensor_data()
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
void TestStatusPage::boardShowsEachSensor()
{
    QFETCH(QString, name);
    QFETCH(QStringList, reads);
    QFETCH(QJsonValue, temperature);
    QFETCH(bool, stale);
    QFETCH(QString, shown);
    const QDateTime started = QDateTime::fromSecsSinceEpoch(1'700'000'000);
    QList<ListedSensor> sensors = builtInSensors();
    sensors[0].name = name;
    const QDateTime now = started.addSecs(330);
    service::StateStore store(300, true);
    store.setClock([&now] { return now; }); // the store decides what is stale as of the page's time
    // A log path that looks like it holds placeholders is shown as it is.
    store.addSource(Source, Kind, Adapter, sensors, QStringLiteral("/var/log/q%1%4.log"), started).logNotice =
        QStringLiteral("notice");
    QDateTime when = started;
    for (const QString& read : reads) {
        when = when.addSecs(60);
        store.onRead(Source, readOf(0, outcomeOf(read), when));
    }
    const QJsonObject json = QJsonDocument::fromJson(service::statuspage::readingsJson(store, now)).object();
    QCOMPARE(json.value(u"version").toInt(), service::statuspage::ReadingsSchemaVersion);
    const QJsonObject source = json.value(u"sources").toArray().at(0).toObject();
    QCOMPARE(source.value(u"name").toString(), Source);
    const QJsonObject first = source.value(u"sensors").toArray().at(0).toObject();
    QCOMPARE(first.keys(), QStringList({"alarm", "alarm_since", "consecutive_failures", "high", "id",
                                        "last_success", "low", "name", "power", "raw_temperature", "reason",
                                        "resolution", "result", "rom", "slot", "stale", "temperature"}));
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
    for (const QString key : {"temperature", "age", "result", "failures", "facts", "alarm"})
        QCOMPARE(
            service::statuspage::escapeHtml(texts.value(key).toString()),
            row.section("data-key=\"" + key + '"', 1).section(u'>', 1).section(QStringLiteral("</"), 0, 0));
    for (const QString key : {"age", "result"})
        QCOMPARE(texts.value(key + "_class").toString(),
                 row.section("data-key=\"" + key + "\" class=\"", 1).section(u'"', 0, 0));
    QCOMPARE(texts.value(u"stale_mark").toBool(), stale);
    // And the list of alarms at the head: the never read are stale by now.
    QString alarms;
    for (const QJsonValue line : json.value(u"page").toObject().value(u"alarms").toArray())
        alarms +=
            QStringLiteral("<li><a href=\"%1\">%2</a>: %3</li>")
                .arg(line[u"anchor"].toString(), service::statuspage::escapeHtml(line[u"sensor"].toString()),
                     line[u"alarm"].toString());
    QVERIFY(!alarms.isEmpty());
    QVERIFY(page.contains(QStringLiteral("<p data-key=\"shown\">%1</p>")
                              .arg(json.value(u"page").toObject().value(u"shown").toString())));
    QVERIFY2(page.contains(QStringLiteral("<ul class=\"bad\" data-key=\"alarms\">") + alarms + "</ul>"),
             qPrintable(alarms));
}

void TestStatusPage::historyIsBoundedAndRefilled_data()
{
    QTest::addColumn<int>("sensors");
    QTest::addColumn<int>("minutes"); // a record every minute for this long, ending now
    QTest::newRow("13 sensors, an hour") << 13 << 60;
    QTest::newRow("13 sensors, two days") << 13 << 2 * 1440;
    QTest::newRow("100 sensors, a day and a minute") << 100 << 1441;
}

// One point a minute for a day whatever was added, and a restart refills it from the log's end.
void TestStatusPage::historyIsBoundedAndRefilled()
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

namespace {

// Ten days of a sample every ten minutes up to now for two sensors, the first missing three days and six
// hours of them: [from, to) relative to now.
constexpr qint64 StoreInterval = 600;
constexpr qint64 StoreDays = 10;
constexpr std::pair<qint64, qint64> StoreGaps[] = {{-6 * 86400, -3 * 86400}, {-10 * 3600, -4 * 3600}};
const QString RomA = QStringLiteral("28A0000000000001");
const QString RomB = QStringLiteral("28B0000000000002");
const QString NameA = QStringLiteral("Hall, north");
const QString NameB = QStringLiteral("=SUM(\"x\")");

// The sample of a sensor at a time, in thousandths: mean, min, max.
std::array<qint64, 3> storedValues(int sensor, qint64 time)
{
    const qint64 mean = 20000 + sensor * 3000 + (time / StoreInterval % 7) * 125;
    return {mean, mean - 500, mean + 1000};
}

// Every sample the store holds, oldest first: time and sensor (0 or 1).
QList<std::pair<qint64, int>> storedSamples(qint64 now)
{
    QList<std::pair<qint64, int>> samples;
    for (qint64 time = now - now % StoreInterval - StoreDays * 86400; time <= now; time += StoreInterval)
        for (int sensor = 0; sensor < 2; ++sensor)
            if (sensor == 1 || std::none_of(std::begin(StoreGaps), std::end(StoreGaps), [&](const auto& gap) {
                    return time >= now + gap.first && time < now + gap.second;
                }))
                samples.append({time, sensor});
    return samples;
}

bool writeStore(const QString& path, qint64 now)
{
    std::optional<service::history::OpenError> error;
    const auto db =
        service::history::HistoryDatabase::open(path, service::history::HistoryDatabase::Mode::Write, &error);
    if (!db)
        return false;
    historyyear::HistoryRowWriter rows(db->handle());
    bool written = rows.exec("BEGIN");
    for (const auto& [time, sensor] : storedSamples(now)) {
        const auto [mean, min, max] = storedValues(sensor, time);
        written =
            written && rows.sample(Source, sensor == 0 ? RomA : RomB, sensor == 0 ? NameA : NameB,
                                   {time, mean, {}, min, max, mean, 3, 1, QStringLiteral("crc_error:1")});
    }
    return written && rows.exec("COMMIT");
}

} // namespace

void TestStatusPage::storeRoutes_data()
{
    QTest::addColumn<bool>("history");
    QTest::addColumn<QByteArray>("target"); // "{now}", "{rom}" stand for them
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("holds"); // texts the body holds
    for (const auto& range : service::statuspage::ChartRanges) {
        const QByteArray key = range.key;
        QTest::newRow(("chart " + key).constData())
            << true << "/chart.svg?range=" + key << 200
            << QStringList{range.title, "class=\"band\"", "local time (UTC+0"};
        QTest::newRow(("page " + key).constData())
            << true << "/?range=" + key << 200
            << QStringList{"<strong>" + QString::fromLatin1(range.label) + "</strong>",
                           range.seconds == 86400 ? "src=\"chart.svg\""
                                                  : "src=\"chart.svg?range=" + key + '"',
                           "export.csv?from="};
    }
    const auto row = [](const char* name, const char* target, int status, const QStringList& holds = {},
                        bool history = true) {
        QTest::newRow(name) << history << QByteArray(target) << status << holds;
    };
    row("chart of no range offered", "/chart.svg?range=2d", 400);
    row("history: ISO from, epoch to, step kept", "/history.json?rom={rom}&from={iso-3600}&to={now}&step=600",
        200, {"\"step\":600", "\"name\":\"Hall, north\""});
    row("history: a step too small for the range raised", "/history.json?from={now-864000}&to={now}&step=1",
        200, {"\"step\":480"});
    row("history: an unknown ROM code, no series", "/history.json?rom=28FF&step=600", 200, {"\"series\":[]"});
    row("history: an unescaped offset's '+'", "/history.json?rom={rom}&from={iso-now}", 400,
        {"from is not before to"});
    row("history: a time that is none", "/history.json?from=yesterday", 400, {"{\"error\":"});
    row("history: from after to", "/history.json?from={now}&to=1000", 400, {"{\"error\":"});
    row("history: over 100 years", "/history.json?from=-3000000000&to={now}", 400, {"100 years"});
    row("history: a negative step", "/history.json?step=-5", 400, {"step"});
    row("export: a day of both sensors", "/export.csv?from={now-86400}&to={now}", 200,
        {"time,source,rom,name,last,raw,min,max,mean,reads,failed,failures\r\n", ",\"Hall, north\",",
         ",\"'=SUM(\"\"x\"\")\","});
    row("export: one ROM code", "/export.csv?rom={rom}&from={now-86400}", 200);
    row("export: bad time", "/export.csv?to=x", 400);
    row("readings: today's figures", "/readings.json", 200, {"\"today\":{"});
    row("no store: the day's chart", "/chart.svg?range=24h", 200, {"The last 24 hours"}, false);
    row("no store: the page offers the day only", "/", 200, {"<p><strong>24 h</strong></p>"}, false);
    for (const char* target : {"/chart.svg?range=7d", "/?range=all", "/history.json", "/export.csv"})
        QTest::newRow((QByteArray("no store: ") + target).constData())
            << false << QByteArray(target) << 404 << QStringList{};
}

// What the page and its routes show of a store, and what they say without one.
void TestStatusPage::storeRoutes()
{
    QFETCH(bool, history);
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QStringList, holds);
    const QDateTime now = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
    const qint64 t = now.toSecsSinceEpoch();
    const QString path = dir_->filePath(QStringLiteral("store.sqlite"));
    QVERIFY(writeStore(path, t));
    std::optional<service::history::OpenError> error;
    const auto store = service::history::HistoryStore::open({path, int(StoreInterval), 0, 0}, &error);
    QVERIFY(store);
    service::StateStore state(300, true);
    state.addSource(Source, Kind, Adapter, {{RomA, NameA}, {RomB, NameB}}, {}, now);
    const service::ServiceMetrics metrics(state, {});
    service::StatusServer server(state, metrics);
    server.setClock([now] { return now; });
    if (history)
        server.setHistory(store.get());
    const quint16 port = server.listenOn({QHostAddress::LocalHost, 0}).port;
    QVERIFY(port > 0);

    target.replace("{rom}", RomA.toLatin1())
        .replace("{now}", QByteArray::number(t))
        .replace("{now-864000}", QByteArray::number(t - 864000))
        .replace("{now-86400}", QByteArray::number(t - 86400))
        .replace("{iso-3600}", QUrl::toPercentEncoding(runtime::isoWithOffset(now.addSecs(-3600))))
        .replace("{iso-now}", runtime::isoWithOffset(now).toLatin1());
    QList<QNetworkReply::RawHeaderPair> headers;
    const auto [answered, bytes] = httpGet(port, QString::fromLatin1(target), &headers);
    QCOMPARE(answered, status);
    const QString body = QString::fromUtf8(bytes);
    for (const QString& text : holds)
        QVERIFY2(body.contains(text), qPrintable(text + u'\n' + body.left(3000)));
    if (status != 200 || !history)
        return;
    if (target.startsWith("/chart.svg")) {
        // The first sensor's gaps break its line; the second's runs whole.
        const auto runs = [&](int sensor) {
            return body.section(QStringLiteral("class=\"series\" data-sensor=\"%1\"").arg(sensor), 1)
                .section(QStringLiteral("</g>"), 0, 0)
                .count(QLatin1String("<polyline"));
        };
        QVERIFY2(runs(1) >= 2, qPrintable(QString::number(runs(1))));
        QCOMPARE(runs(2), 1);
    }
    if (target.contains("step=600") && target.contains(RomA.toLatin1())) {
        // A bucket a sample, each as the store has it, written as short as it reads back.
        const QJsonArray points = QJsonDocument::fromJson(bytes)[u"series"][0][u"points"].toArray();
        QCOMPARE(points.size(), 6);
        const qint64 from = t - 3600;
        const auto [mean, min, max] =
            storedValues(0, from + (StoreInterval - from % StoreInterval) % StoreInterval);
        const QByteArray point =
            '[' + QByteArray::number(from) + ',' + QByteArray::number(double(mean) / 1000) + ',' +
            QByteArray::number(double(min) / 1000) + ',' + QByteArray::number(double(max) / 1000) + ']';
        QVERIFY2(bytes.contains(point), qPrintable(point + '\n' + bytes.left(300)));
    }
    if (target.startsWith("/export.csv")) {
        QVERIFY(headers.contains(
            {"Content-Disposition",
             "attachment; filename=\"quorvel3d-" +
                 QDateTime::fromSecsSinceEpoch(t - 86400).toString(u"yyyyMMdd'T'HHmm").toLatin1() + '-' +
                 now.toString(u"yyyyMMdd'T'HHmm").toLatin1() + ".csv\""}));
        // Every sample of the range, oldest first, the first sensor's before the second's.
        QList<QByteArray> lines = bytes.split('\n');
        QCOMPARE(lines.takeLast(), QByteArray());
        lines.removeFirst();
        QList<std::pair<qint64, int>> expected = storedSamples(t);
        expected.removeIf([&](const auto& sample) {
            return sample.first < t - 86400 || sample.first >= t ||
                   (target.contains("?rom=") && sample.second != 0);
        });
        QCOMPARE(lines.size(), expected.size());
        for (qsizetype i = 0; i < lines.size(); i += 97) {
            const auto [time, sensor] = expected[i];
            const auto [mean, min, max] = storedValues(sensor, time);
            const auto milli = [](qint64 value) { return QString::number(double(value) / 1000); };
            const QString line = QString::fromUtf8(lines[i]);
            QCOMPARE(line.section(u',', 0, 0), runtime::isoWithOffset(QDateTime::fromSecsSinceEpoch(time)));
            QVERIFY2(line.contains((sensor == 0 ? RomA : RomB) + u','), qPrintable(line));
            // The raw value the store leaves out where it equals the last.
            QVERIFY2(line.endsWith(QStringList{milli(mean), milli(mean), milli(min), milli(max), milli(mean),
                                               "3", "1", "crc_error:1\r"}
                                       .join(u',')),
                     qPrintable(line));
        }
    }
    if (target == "/readings.json") {
        const qint64 midnight = QDateTime(now.date(), QTime(0, 0)).toSecsSinceEpoch();
        qint64 low = std::numeric_limits<qint64>::max(), high = std::numeric_limits<qint64>::min(), sum = 0,
               count = 0;
        for (const auto& [time, sensor] : storedSamples(t))
            if (sensor == 0 && time >= midnight) {
                const auto [mean, min, max] = storedValues(sensor, time);
                low = std::min(low, min);
                high = std::max(high, max);
                sum += mean;
                ++count;
            }
        const QJsonObject today =
            QJsonDocument::fromJson(bytes)[u"sources"][0][u"sensors"][0][u"today"].toObject();
        QCOMPARE(today.keys(), QStringList({"max", "mean", "min"}));
        QCOMPARE(today[u"min"].toDouble(), double(low) / 1000);
        QCOMPARE(today[u"max"].toDouble(), double(high) / 1000);
        QCOMPARE(today[u"mean"].toDouble(), std::round(double(sum) / double(count)) / 1000);
    }
    if (target.contains("step=1"))
        for (const QJsonValue one : QJsonDocument::fromJson(bytes)[u"series"].toArray())
            QVERIFY(one[u"points"].toArray().size() <= service::history::HistoryReader::MaxPoints);
}

// A generated store served by a status server of its own, on a free port.
struct GeneratedStore {
    GeneratedStore(const QString& path, const historyyear::YearShape& shape)
    {
        written = historyyear::writeYear(path, shape, &message);
        if (!written)
            return;
        std::optional<service::history::OpenError> error;
        store =
            service::history::HistoryStore::open({path, shape.interval, shape.keepSamplesDays, 0}, &error);
        if (!store)
            return;
        server.setHistory(store.get());
        port = server.listenOn({QHostAddress::LocalHost, 0}).port;
    }
    QString message;
    std::optional<historyyear::YearWritten> written;
    std::unique_ptr<service::history::HistoryStore> store;
    service::StateStore state{300, true};
    service::ServiceMetrics metrics{state, {}};
    service::StatusServer server{state, metrics};
    quint16 port = 0;
};

// Exports that hold the store's connections are capped; the cap frees as one ends.
void TestStatusPage::outputsAtTheFoot_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QString>("expected");
    QTest::newRow("caught up") << "vm"
                               << "caught up" << true << "<p>influx vm: caught up</p>";
    QTest::newRow("down")
        << "vm"
        << "down since 10:02 (connection refused): 1 lines wait" << false
        << "<p class=\"bad\">influx vm: down since 10:02 (connection refused): 1 lines wait</p>";
    QTest::newRow("stopped, a name of markup and a line break")
        << "<b>\nx"
        << "stopped: 401 Unauthorized" << false
        << "<p class=\"bad\">influx &lt;b&gt;\ufffdx: stopped: 401 Unauthorized</p>";
}

void TestStatusPage::outputsAtTheFoot()
{
    QFETCH(QString, name);
    QFETCH(QString, state);
    QFETCH(bool, up);
    QFETCH(QString, expected);
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1'700'000'000);
    service::StateStore store(300, true);
    store.addSource(Source, Kind, Adapter, builtInSensors(), {}, now);
    store.outputs().append({name, {}, up, state, 0, 0, 0, 0, std::nullopt});
    const QString page = QString::fromUtf8(service::statuspage::html(store, now));
    QVERIFY2(page.contains(expected), qPrintable(page.right(2000)));
}

void TestStatusPage::busHealthShown_data()
{
    QTest::addColumn<QVariant>("devices");  // the last listing; null: never listed
    QTest::addColumn<QString>("reads");     // a second apart up to now, "x" failed
    QTest::addColumn<QStringList>("steps"); // "step result" each, the last one the last recovery, at {T}
    QTest::addColumn<QVariant>("parasite"); // sensor 1's facts
    QTest::addColumn<int>("resolution");    // 0: not known
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("metrics");   // sensor 1's info, then the source's samples
    QTest::addColumn<QString>("json");      // the source's health; {T}: 12 min before now
    QTest::addColumn<QStringList>("texts"); // health, ghosts, down; sensor 1's facts
    QTest::newRow("never listed nor read, a sensor's power unknown")
        << QVariant() << "" << QStringList{} << QVariant() << 11 << ""
        << R"(quorvel_sensor_info{power="",resolution="11"} 1)"
        << R"({"devices":null,"ghosts":null,"failure_ratio":null,"down_since":null,"last_recovery":null})"
        << QStringList{"no read in the last 10 min", "", "", "11 bits"};
    QTest::newRow("a ghost, steps counted, one under way, a resolution not taken")
        << QVariant(QStringList{"00-000000000000", "28-000000000001"}) << "xxx."
        << QStringList{"command failed", "search not_recovered", "search not_recovered", "rebind"}
        << QVariant(true) << 0 << "9C000000B4A89828 has no resolution to set"
        << "quorvel_sensor_info{power=\"parasite\",resolution=\"\"} 1\n"
           "quorvel_source_read_failure_ratio{source=\"adapter\"} 0.75\n"
           "quorvel_source_recoveries_total{source=\"adapter\",step=\"command\",result=\"failed\"} 1\n"
           "quorvel_source_recoveries_total{source=\"adapter\",step=\"search\",result=\"not_recovered\"} 2\n"
           "quorvel_source_devices{source=\"adapter\"} 2\nquorvel_source_ghost_devices{source=\"adapter\"} 1"
        << R"({"devices":["00-000000000000","28-000000000001"],"ghosts":["00-000000000000"],"failure_ratio":)"
           R"(0.75,"down_since":"{T}","last_recovery":{"time":"{T}","step":"rebind","result":null,)"
           R"("detail":"exit status 1"}})"
        << QStringList{"2 devices found; 75 % of reads failed in the last 10 min; last recovery {T}: rebind, "
                       "under way (exit status 1)",
                       "a device 00-000000000000: the bus has no pull-up, or it is too weak",
                       "down since {T} (12 min)", "parasite power, has no resolution to set"};
}

// A source's bus health and a sensor's facts as the metrics, /readings.json and the page show them.
void TestStatusPage::busHealthShown()
{
    QFETCH(QVariant, devices);
    QFETCH(QString, reads);
    QFETCH(QStringList, steps);
    QFETCH(QVariant, parasite);
    QFETCH(int, resolution);
    QFETCH(QString, problem);
    QFETCH(QString, metrics);
    QFETCH(QString, json);
    QFETCH(QStringList, texts);
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000);
    const QDateTime then = now.addSecs(-720);
    service::StateStore store(300, true);
    service::SourceState& source = store.addSource(Source, Kind, Adapter, builtInSensors(), {}, now);
    service::BusHealth& health = source.health;
    if (!devices.isNull()) {
        health.devices = devices.toStringList();
        health.ghosts = health.devices.filter(QStringLiteral("00-"));
        health.searched = now;
    }
    for (qsizetype i = 0; i < reads.size(); ++i)
        health.failures.add(now.addSecs(i - reads.size() + 1), reads[i] == u'x');
    for (const QString& step : steps) {
        health.lastRecovery = {then, step.section(u' ', 0, 0), step.section(u' ', 1), "exit status 1"};
        if (step.contains(u' '))
            ++health.recoveries[{health.lastRecovery->step, health.lastRecovery->result}];
        health.downSince = then;
    }
    acquisition::SensorFacts& facts = source.sensors.front().facts;
    facts.parasite = parasite.isNull() ? std::nullopt : std::optional(parasite.toBool());
    facts.resolution = resolution ? std::optional(resolution) : std::nullopt;
    facts.problem = problem;
    const QByteArray info = "quorvel_sensor_info{source=\"adapter\",rom=\"" + romOf(0).toLatin1() +
                            "\",id=\"" + source.sensors.front().id.toLatin1() + "\",";
    QStringList samples;
    for (const QByteArray& line :
         service::ServiceMetrics(store, {}).exposition(now.toSecsSinceEpoch()).split('\n'))
        if (line.startsWith(info))
            samples << "quorvel_sensor_info{" + QString::fromUtf8(line.mid(info.size()));
        else if (line.startsWith("quorvel_source_") &&
                 (line.contains("ratio{") || line.contains("recoveries_total{") || line.contains("devices{")))
            samples << QString::fromUtf8(line);
    QCOMPARE(samples.join(u'\n'), metrics);

    const QJsonObject shown = QJsonDocument::fromJson(service::statuspage::readingsJson(store, now))
                                  .object()[u"sources"][0]
                                  .toObject();
    QCOMPARE(shown[u"health"].toObject(),
             QJsonDocument::fromJson(json.replace("{T}", runtime::isoWithOffset(then)).toUtf8()).object());
    QCOMPARE(shown[u"sensors"][0][u"resolution"].toInt(), resolution);
    QVERIFY(metrics.contains("power=\"" + shown[u"sensors"][0][u"power"].toString() + '"'));

    for (QString& text : texts)
        text.replace(QStringLiteral("{T}"), service::statuspage::localTime(then));
    const auto hidden = [&](int i) { return texts[i].isEmpty() ? QStringLiteral(" hidden") : QString(); };
    const QString page = QString::fromUtf8(service::statuspage::html(store, now));
    QVERIFY(page.contains(
        QStringLiteral("<p>Adapter health: <span data-key=\"health\">%1</span> <span "
                       "class=\"bad line\" data-key=\"ghosts\"%2>%3</span> <strong class=\"bad line\" "
                       "data-key=\"down\"%4>%5</strong></p>")
            .arg(texts[0], hidden(1), texts[1], hidden(2), texts[2])));
    QVERIFY(
        page.contains(QStringLiteral("<span class=\"facts\" data-key=\"facts\">%1</span>").arg(texts[3])));
    const QJsonObject script = shown[u"page"].toObject();
    QCOMPARE((QStringList{script[u"health"].toString(), script[u"ghosts"].toString(),
                          script[u"down"].toString(), script[u"sensors"][0][u"facts"].toString()}),
             texts);
}

void TestStatusPage::exportsAreCapped()
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    // Far more rows than the kernel's buffers hold, so a client that does not read keeps its export open.
    const GeneratedStore served(dir_->filePath(QStringLiteral("year.sqlite")), {13, 2, 10, 0, now});
    QVERIFY2(served.port > 0, qPrintable(served.message));
    const quint16 port = served.port;
    const QByteArray request =
        "GET /export.csv?from=" + QByteArray::number(now - 2 * 86400) + " HTTP/1.1\r\n\r\n";
    std::vector<std::unique_ptr<QTcpSocket>> stalled;
    for (int i = 0; i < service::StatusServer::MaxExports; ++i) {
        auto& socket = stalled.emplace_back(std::make_unique<QTcpSocket>());
        socket->setReadBufferSize(4096); // takes no more than this from the kernel: it does not read
        socket->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(socket->waitForConnected(5000));
        socket->write(request);
        QTRY_VERIFY_WITH_TIMEOUT(socket->bytesAvailable() > 0, 10000);
    }
    const auto [busy, body] = httpGet(port, QStringLiteral("/export.csv"));
    QCOMPARE(busy, 503);
    stalled.front()->abort();
    QTRY_COMPARE_WITH_TIMEOUT(httpGet(port, QStringLiteral("/export.csv?from=%1").arg(now - 600)).first, 200,
                              15000);
}

// Every range over a year as the store keeps it (hourly rows, a week of samples), and an export of all of it.
void TestStatusPage::aGeneratedYear()
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const GeneratedStore served(dir_->filePath(QStringLiteral("year.sqlite")), {2, 365, 600, 7, now});
    QVERIFY2(served.port > 0, qPrintable(served.message));
    const quint16 port = served.port;
    for (const auto& range : service::statuspage::ChartRanges) {
        const auto [status, svg] =
            httpGet(port, QStringLiteral("/chart.svg?range=") + QLatin1String(range.key));
        QCOMPARE(status, 200);
        QVERIFY2(svg.contains("class=\"band\"") && svg.contains("<polyline"), range.key);
    }
    const auto [status, csv] = httpGet(port, QStringLiteral("/export.csv?from=%1").arg(now - 366 * 86400));
    QCOMPARE(status, 200);
    QCOMPARE(csv.count('\n') - 1, served.written->samples);
}

QTEST_GUILESS_MAIN(TestStatusPage)
#include "tst_statuspage.moc"
