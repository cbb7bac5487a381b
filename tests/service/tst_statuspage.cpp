#include "programfixture.h"
#include "scratchdir.h"

#include "logfile/logrecorder.h"
#include "logfile/logsession.h"
#include "runtime/localeformats.h"
#include "service/outputs/web/servicemetrics.h"
#include "service/outputs/web/statuschart.h"
#include "service/outputs/web/statusjson.h"
#include "service/outputs/web/statuspage.h"
#include "service/outputs/web/statustexts.h"
#include "service/state/historyfill.h"
#include "service/state/sensorhistory.h"
#include "service/state/statestore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
    for (const QString key : {"temperature", "age", "result", "failures", "alarm"})
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

QTEST_GUILESS_MAIN(TestStatusPage)
#include "tst_statuspage.moc"
