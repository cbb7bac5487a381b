#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QSize>

namespace quorvel::service {

class StateStore;

namespace statuspage {

// Every chart's size in pixels, as the page shows it.
inline constexpr QSize ChartSize{1200, 500};

// /chart.svg: every sensor over the day, drawn by the log tool's plot renderer: one point a minute, a gap
// where a sensor had no good read.
[[nodiscard]] QByteArray chartSvg(const StateStore& store, const QDateTime& now);

} // namespace statuspage

} // namespace quorvel::service
