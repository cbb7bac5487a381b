#include "service/outputs/web/statuspage.h"

#include "service/outputs/web/statuschart.h"
#include "service/outputs/web/statustexts.h"
#include "service/state/statestore.h"

#include "acquisition/readoutcome.h"
#include "runtime/appinfo.h"

#include <QCryptographicHash>

#include <algorithm>

namespace quorvel::service::statuspage {

namespace {

// Sparkline points further apart than this are not joined: the sensor gave no good reading in between.
constexpr int GapMinutes = 5;
constexpr int SparkWidth = 160;
constexpr int SparkHeight = 28;
constexpr int SparkBucketMinutes = 10;

const QByteArray& style()
{
    static const QByteArray css = R"(
:root{color-scheme:light dark;--fg:#1d1d1f;--bg:#fff;--muted:#667;--line:#d8d8de;--bad:#b3261e;--warn:#8a5a00;--ok:#1d6b36}
@media (prefers-color-scheme:dark){:root{--fg:#e8e8ea;--bg:#141416;--muted:#9a9aa6;--line:#34343a;--bad:#ff8a80;--warn:#ffcc66;--ok:#7ddc94}}
body{margin:0 auto;max-width:75rem;padding:1rem;font:15px/1.4 system-ui,sans-serif;color:var(--fg);background:var(--bg)}
h1{font-size:1.3rem;margin:0 0 .5rem}header p{margin:.2rem 0;color:var(--muted)}
.bad{color:var(--bad)}.warn{color:var(--warn)}.ok{color:var(--ok)}
.line{display:block}.line[hidden]{display:none}
table{border-collapse:collapse;width:100%;margin:1rem 0}th,td{text-align:left;padding:.4rem .5rem;border-bottom:1px solid var(--line);vertical-align:top;overflow-wrap:anywhere}
th{font-weight:600;color:var(--muted)}td.num{font-variant-numeric:tabular-nums;white-space:nowrap}
tr.alarm{box-shadow:inset .3rem 0 var(--bad)}tr.alarm td:first-child{padding-left:.8rem}
.rom{font-family:ui-monospace,monospace;font-size:.85em;color:var(--muted)}td .rom{white-space:nowrap}
.facts{font-size:.85em;color:var(--muted)}.facts:empty{display:none}
svg.spark{width:10rem;height:1.75rem}svg.spark rect{fill:none;stroke:var(--line)}svg.spark polyline{fill:none;stroke:currentColor;stroke-width:1.2}svg.spark circle{fill:currentColor}
img.chart{width:100%;height:auto;border:1px solid var(--line);background:#fff}
@media (max-width:40rem){thead{display:none}tr{display:block;border-bottom:1px solid var(--line);padding:.4rem 0}
td{display:flex;flex-wrap:wrap;gap:0 .5rem;border:0;padding:.15rem 0}td::before{content:attr(data-label);flex:0 0 7.5rem;color:var(--muted)}
.rom,td .rom{overflow-wrap:anywhere;white-space:normal}}
)";
    return css;
}

// Refreshes the page in place with the texts, classes and marks /readings.json carries for it, as the server
// renders them; with scripts off the page is complete as served.
const QByteArray& script()
{
    static const QByteArray js = R"(
(function(){
function set(row,key,text,cls){var c=row.querySelector('[data-key="'+key+'"]');if(!c)return;c.textContent=text;if(cls!==undefined)c.className=cls;}
function alarms(list){var ul=document.querySelector('[data-key="alarms"]');if(!ul)return;ul.textContent='';
list.forEach(function(a){var li=document.createElement('li'),l=document.createElement('a');l.href=a.anchor;l.textContent=a.sensor;
li.appendChild(l);li.appendChild(document.createTextNode(': '+a.alarm));ul.appendChild(li);});ul.hidden=!list.length;}
function refresh(){fetch('readings.json',{cache:'no-store'}).then(function(r){return r.json();}).then(function(d){
alarms(d.page.alarms);
d.sources.forEach(function(src){var sec=document.querySelector('section[data-source="'+src.name+'"]');if(!sec)return;
src.sensors.forEach(function(s,i){var row=document.getElementById('sensor-'+src.name+'-'+s.slot);if(!row)return;var t=src.page.sensors[i];
set(row,'temperature',t.temperature,'num');
set(row,'age',t.age,t.age_class);
set(row,'result',t.result,t.result_class);
set(row,'failures',t.failures,'num');
set(row,'facts',t.facts);
row.querySelector('[data-key="stale"]').hidden=!t.stale_mark;
var a=row.querySelector('[data-key="alarm"]');a.hidden=!t.alarm_mark;a.textContent=t.alarm;
row.className=t.row_class;});
set(sec,'reachable',src.page.reachable,src.page.reachable_class);
set(sec,'log-counts',src.page.log_counts);
set(sec,'health',src.page.health);
['ghosts','down'].forEach(function(k){var c=sec.querySelector('[data-key="'+k+'"]');c.textContent=src.page[k];c.hidden=!src.page[k];});});
set(document,'shown',d.page.shown);
}).catch(function(){});}
setInterval(refresh,5000);})();
)";
    return js;
}

QByteArray hashSource(const QByteArray& text)
{
    return "'sha256-" + QCryptographicHash::hash(text, QCryptographicHash::Sha256).toBase64() + "'";
}

// The day up to now in a frame, as a polyline per run of points scaled to the sensor's own range: the
// first hours of a history stand at the right of an empty frame.
QString sparkline(const QList<SensorHistory::Point>& points, const QDateTime& now)
{
    const QString frame = QStringLiteral("<rect x=\"0.5\" y=\"0.5\" width=\"%1\" height=\"%2\"/>")
                              .arg(SparkWidth - 1)
                              .arg(SparkHeight - 1);
    if (points.isEmpty())
        return QStringLiteral(
                   "<svg class=\"spark\" viewBox=\"0 0 %1 %2\" role=\"img\" aria-label=\"no readings "
                   "in the last 24 hours\">%3</svg>")
            .arg(SparkWidth)
            .arg(SparkHeight)
            .arg(frame);
    const auto [low, high] = std::minmax_element(
        points.begin(), points.end(), [](const auto& a, const auto& b) { return a.value < b.value; });
    const double span = std::max(0.5, double(high->value - low->value));
    const std::int32_t first = SensorHistory::minuteOf(now) - SensorHistory::Minutes + 1;
    QString out =
        QStringLiteral("<svg class=\"spark\" viewBox=\"0 0 %1 %2\" role=\"img\" aria-label=\"%3 to %4 "
                       "\u00b0C in the last 24 hours\">")
            .arg(SparkWidth)
            .arg(SparkHeight)
            .arg(valueText(low->value), valueText(high->value)) +
        frame;
    QString run;
    int runPoints = 0;
    // A run of one point is a dot: a polyline of one point draws nothing.
    const auto endRun = [&] {
        if (runPoints == 1)
            out += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"1.5\"/>")
                       .arg(run.section(QLatin1Char(','), 0, 0), run.section(QLatin1Char(','), 1).trimmed());
        else if (runPoints > 1)
            out += QStringLiteral("<polyline points=\"%1\"/>").arg(run.trimmed());
        run.clear();
        runPoints = 0;
    };
    std::int32_t previous = -GapMinutes - 1;
    for (qsizetype i = 0; i < points.size(); ++i) {
        const SensorHistory::Point& point = points[i];
        // One point of each few minutes is plenty for 160 pixels: the last of its bucket, or the one
        // before a gap, so runs still end where they end.
        const bool lastOfBucket =
            i + 1 == points.size() ||
            points[i + 1].minute / SparkBucketMinutes != point.minute / SparkBucketMinutes ||
            points[i + 1].minute - point.minute > GapMinutes;
        if (point.minute - previous > GapMinutes)
            endRun();
        if (!lastOfBucket && runPoints > 0) {
            previous = point.minute;
            continue;
        }
        const double x = double(point.minute - first) * SparkWidth / SensorHistory::Minutes;
        const double y = SparkHeight - 2 - (point.value - low->value) / span * (SparkHeight - 4);
        run += QStringLiteral("%1,%2 ").arg(x, 0, 'f', 1).arg(y, 0, 'f', 1);
        ++runPoints;
        previous = point.minute;
    }
    endRun();
    return out + QStringLiteral("</svg>");
}

} // namespace

QByteArray html(const StateStore& store, const QDateTime& now, const PageChart& chart)
{
    const auto e = [](const QString& text) { return escapeHtml(text); };
    const auto& sources = store.sources();
    // One source is the adapter (bus, server) the page is about; several each have a section of their own.
    const bool one = sources.size() == 1;
    const QString title = one ? sources.front()->address : QStringLiteral("%1 sources").arg(sources.size());
    QString page;
    page.reserve(4096 + 1536 * store.sensorCount());
    page += QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                           "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
                           "<title>quorvel3d: %1</title><style>")
                .arg(e(title));
    page += QString::fromUtf8(style());
    page += QStringLiteral("</style></head><body><header><h1>Temperatures from %1</h1>")
                .arg(one ? QStringLiteral("the %1 at %2").arg(sources.front()->noun, e(title)) : e(title));
    page += QStringLiteral("<p data-key=\"shown\">%1</p></header>").arg(e(shownText(store, now)));
    // Served empty and hidden without alarms, so the script has a list to fill when one begins.
    QString alarms;
    for (const AlarmLine& line : alarmLines(store))
        alarms += QStringLiteral("<li><a href=\"%1\">%2</a>: %3</li>")
                      .arg(e(line.anchor), e(line.sensor), e(line.alarm));
    page += QStringLiteral("<ul class=\"bad\" data-key=\"alarms\"%1>%2</ul>")
                .arg(alarms.isEmpty() ? QStringLiteral(" hidden") : QString(), alarms);
    for (const auto& source : sources) {
        page += QStringLiteral("<section data-source=\"%1\">").arg(e(source->name));
        if (!one)
            page += QStringLiteral("<h2>%1 <span class=\"rom\">%2 at %3</span></h2>")
                        .arg(e(source->name), e(source->kind), e(source->address));
        QString noun = source->noun;
        noun[0] = noun[0].toUpper();
        page += QStringLiteral("<p>%1: <span data-key=\"reachable\" class=\"%2\">%3</span></p>")
                    .arg(noun, reachableClass(*source), e(reachableText(*source)));
        const auto hidden = [](bool shown) { return shown ? QString() : QStringLiteral(" hidden"); };
        const QString ghosts = ghostsText(*source);
        const QString down = downText(*source, now);
        page += QStringLiteral("<p>%1 health: <span data-key=\"health\">%2</span> <span class=\"bad line\" "
                               "data-key=\"ghosts\"%3>%4</span> <strong class=\"bad line\" "
                               "data-key=\"down\"%5>%6</strong></p>")
                    .arg(noun, e(healthText(*source, now)), hidden(!ghosts.isEmpty()), e(ghosts),
                         hidden(!down.isEmpty()), e(down));
        if (source->bulkConversion)
            page += *source->bulkConversion
                        ? QStringLiteral("<p>Bulk conversion: on, all sensors at once each sweep</p>")
                        : QStringLiteral("<p>Bulk conversion: off, each sensor on its own read</p>");
        if (source->logPath.isEmpty())
            page += QStringLiteral("<p>Log: off</p>");
        else
            page +=
                QStringLiteral("<p>Log: %1, <span data-key=\"log-counts\">%2</span>%3</p>")
                    .arg(e(source->logPath), e(logCountsText(*source)),
                         source->logNotice.isEmpty()
                             ? QString()
                             : QStringLiteral(" <span class=\"bad\">%1</span>").arg(e(source->logNotice)));
        page += QStringLiteral(
            "<table><thead><tr><th>Sensor</th><th>Temperature</th><th>Last good read</th>"
            "<th>Last read</th><th>Failures in a row</th><th>Last 24 hours</th></tr></thead><tbody>");
        for (const SensorState& sensor : source->sensors) {
            const RowLook look = rowLook(sensor);
            const auto classOf = [](const QString& name) {
                return name.isEmpty() ? QString() : QStringLiteral(" class=\"%1\"").arg(name);
            };
            page += QStringLiteral(
                        "<tr id=\"sensor-%1-%2\"%3><td data-label=\"Sensor\">%4 <span "
                        "class=\"rom\">%5</span> <span class=\"facts\" data-key=\"facts\">%6</span> <strong "
                        "class=\"bad\" data-key=\"stale\"%7>stale</strong> <strong class=\"bad\" "
                        "data-key=\"alarm\"%8>%9</strong></td>")
                        .arg(e(source->name))
                        .arg(sensor.slot + 1)
                        .arg(classOf(look.row), e(sensor.displayName()), e(sensor.id), e(factsText(sensor)),
                             hidden(look.staleMark), hidden(look.alarmMark), e(alarmText(sensor)));
            page += QStringLiteral(
                        "<td data-label=\"Temperature\" data-key=\"temperature\" class=\"num\">%1</td>")
                        .arg(e(temperatureCell(sensor)));
            page += QStringLiteral("<td data-label=\"Last good read\" data-key=\"age\" class=\"%1\">%2</td>")
                        .arg(look.age, e(ageText(sensor.lastSuccess, now)));
            page += QStringLiteral("<td data-label=\"Last read\" data-key=\"result\" class=\"%1\">%2</td>")
                        .arg(look.result, e(resultText(sensor)));
            page += QStringLiteral(
                        "<td data-label=\"Failures in a row\" data-key=\"failures\" class=\"num\">%1</td>")
                        .arg(sensor.failuresInRow);
            page += QStringLiteral("<td data-label=\"Last 24 hours\">%1</td></tr>")
                        .arg(sparkline(source->history.points(sensor.slot, now), now));
        }
        page += QStringLiteral("</tbody></table></section>");
    }
    QString span = QString::fromLatin1(chart.range->title);
    span[0] = span[0].toLower();
    const bool first = chart.range == &ChartRanges.front();
    page += QStringLiteral("<h2>All sensors, %1</h2><img class=\"chart\" src=\"chart.svg%2\" alt=\"Chart of "
                           "every sensor over %1, with gaps where reads failed\" width=\"%3\" height=\"%4\">")
                .arg(span, first ? QString() : QStringLiteral("?range=") + QLatin1String(chart.range->key))
                .arg(ChartSize.width())
                .arg(ChartSize.height());
    // Plain links, so that every range shows without a script; the one shown is not a link.
    QStringList ranges;
    for (const ChartRange& range : ChartRanges)
        if (&range == chart.range)
            ranges << QStringLiteral("<strong>%1</strong>").arg(QLatin1String(range.label));
        else if (chart.history)
            ranges << QStringLiteral("<a href=\"?range=%1\">%2</a>")
                          .arg(QLatin1String(range.key), QLatin1String(range.label));
    if (chart.history)
        ranges << QStringLiteral("<a href=\"export.csv?from=%1&amp;to=%2\">CSV of %3</a>")
                      .arg(chart.from)
                      .arg(chart.to)
                      .arg(span);
    page += QStringLiteral("<p>%1</p>").arg(ranges.join(QStringLiteral(" \u00b7 ")));
    for (const OutputLink& output : store.outputs())
        page += QStringLiteral("<p%1>%2</p>")
                    .arg(output.up ? QString() : QStringLiteral(" class=\"bad\""), e(outputText(output)));
    page += QStringLiteral(
                "<p class=\"rom\">quorvel3d %1 \u00b7 <a href=\"readings.json\">readings.json</a> \u00b7 "
                "<a href=\"metrics\">metrics</a></p><script>")
                .arg(e(runtime::AppInfo::versionText()));
    page += QString::fromUtf8(script());
    page += QStringLiteral("</script></body></html>\n");
    return page.toUtf8();
}

QByteArray contentSecurityPolicy()
{
    static const QByteArray policy = "default-src 'none'; img-src 'self'; connect-src 'self'; style-src " +
                                     hashSource(style()) + "; script-src " + hashSource(script()) +
                                     "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
    return policy;
}

} // namespace quorvel::service::statuspage
