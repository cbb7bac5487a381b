#include "service/outputs/web/historychart.h"

#include "service/outputs/web/statuschart.h"
#include "service/outputs/web/statustexts.h"

#include "logfile/plotlayout.h"
#include "logfile/svgrenderer.h"

#include <limits>
#include <map>

namespace quorvel::service::statuspage {

namespace {

// Each sensor's runs of buckets one step apart, as bands in the scene's pixels.
void addBands(logfile::PlotScene& scene, const QList<history::Series>& series, qint64 step)
{
    if (scene.toMs <= scene.fromMs || scene.highValue <= scene.lowValue)
        return;
    const QRectF& area = scene.plotArea;
    const auto at = [&](qint64 time, double value) {
        return QPointF(area.left() + double(time * 1000 - scene.fromMs) / double(scene.toMs - scene.fromMs) *
                                         area.width(),
                       area.bottom() -
                           (value - scene.lowValue) / (scene.highValue - scene.lowValue) * area.height());
    };
    for (qsizetype i = 0; i < series.size(); ++i) {
        logfile::PlotBand band{int(i) + 1, {}, {}};
        qint64 previous = 0;
        for (const history::SeriesPoint& point : series[i].points) {
            if (!band.upper.isEmpty() && point.time - previous > step) {
                scene.bands.append(band);
                band.upper.clear();
                band.lower.clear();
            }
            band.upper.append(at(point.time, point.max));
            band.lower.append(at(point.time, point.min));
            previous = point.time;
        }
        if (!band.upper.isEmpty())
            scene.bands.append(band);
    }
}

} // namespace

QByteArray historyChartSvg(const QList<history::Series>& series, qint64 from, qint64 to, qint64 step,
                           const QString& title)
{
    const int count = int(series.size());
    QStringList names;
    for (const history::Series& one : series)
        names << visible(one.name.isEmpty() ? one.romCode : one.name);
    // Every bucket any sensor has is a record, NaN for a sensor without it; a bucket none has is one of
    // NaN only, so that the lines break there whatever the gap factor makes of the steps.
    std::map<qint64, QList<float>> buckets;
    float low = std::numeric_limits<float>::max();
    float high = std::numeric_limits<float>::lowest();
    for (int i = 0; i < count; ++i)
        for (const history::SeriesPoint& point : series[i].points) {
            auto [entry, fresh] = buckets.try_emplace(point.time);
            if (fresh)
                entry->second = QList<float>(count, std::numeric_limits<float>::quiet_NaN());
            entry->second[i] = float(point.mean);
            low = std::min(low, float(point.min));
            high = std::max(high, float(point.max));
        }
    logfile::PlotEnvelope envelope(logfile::PlotLayout::columns(ChartSize, names), 0);
    qint64 previous = buckets.empty() ? 0 : buckets.begin()->first;
    for (const auto& [time, means] : buckets) {
        if (step > 0 && time - previous > step)
            envelope.add({QDateTime::fromSecsSinceEpoch(previous + step),
                          QList<float>(count, std::numeric_limits<float>::quiet_NaN())});
        envelope.add({QDateTime::fromSecsSinceEpoch(time), means});
        previous = time;
    }
    envelope.showTime(from * 1000, to * 1000);
    if (!buckets.empty())
        envelope.showValues(low, high);
    logfile::PlotScene scene =
        logfile::PlotLayout::layout(envelope, ChartSize, title, logfile::LogRuns::DefaultGapFactor, names);
    addBands(scene, series, step);
    return logfile::SvgRenderer::render(scene);
}

} // namespace quorvel::service::statuspage
