#include "service/outputs/web/statuschart.h"

#include "service/outputs/web/statustexts.h"
#include "service/state/statestore.h"

#include "logfile/plotlayout.h"
#include "logfile/svgrenderer.h"

#include <limits>
#include <map>
#include <vector>

namespace quorvel::service::statuspage {

QByteArray chartSvg(const StateStore& store, const QDateTime& now)
{
    const QSize size = ChartSize;
    // Every sensor of every source, one after another.
    std::vector<std::pair<const SourceState*, const SensorState*>> series;
    for (const auto& source : store.sources())
        for (const SensorState& sensor : source->sensors)
            series.emplace_back(source.get(), &sensor);
    const int count = int(series.size());
    // Every minute of the day that has a point of any sensor is a record; a sensor without one there is NaN.
    std::map<std::int32_t, QList<float>> minutes;
    for (int i = 0; i < count; ++i)
        for (const SensorHistory::Point& point :
             series[std::size_t(i)].first->history.points(series[std::size_t(i)].second->slot, now)) {
            auto [at, fresh] = minutes.try_emplace(point.minute);
            if (fresh)
                at->second = QList<float>(count, std::numeric_limits<float>::quiet_NaN());
            at->second[i] = point.value;
        }
    const bool one = store.sources().size() == 1;
    // The legend's names, shown safely; an unnamed sensor of one of several sources by its source.
    QStringList names;
    for (const auto& [source, sensor] : series)
        names << visible(one || !sensor->name.isEmpty()
                             ? sensor->name
                             : source->name + u' ' + QString::number(sensor->slot + 1));
    // Always by stretches of the picture's columns, which keep a gap per sensor.
    logfile::PlotEnvelope envelope(logfile::PlotLayout::columns(size, names), 0);
    for (const auto& [minute, readings] : minutes)
        envelope.add({QDateTime::fromSecsSinceEpoch(qint64(minute) * 60), readings});
    // The whole day from the first minute on, so a young history looks young.
    envelope.showTime(now.addSecs(-qint64(SensorHistory::Minutes) * 60).toMSecsSinceEpoch(),
                      now.toMSecsSinceEpoch());
    const logfile::PlotScene scene = logfile::PlotLayout::layout(
        envelope, size,
        one ? QStringLiteral("The last 24 hours at %1").arg(store.sources().front()->address)
            : QStringLiteral("The last 24 hours of %1 sources").arg(store.sources().size()),
        logfile::LogRuns::DefaultGapFactor, names);
    return logfile::SvgRenderer::render(scene);
}

} // namespace quorvel::service::statuspage
