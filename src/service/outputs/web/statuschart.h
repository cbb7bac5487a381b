#pragma once

#include <QByteArray>
#include <QDateTime>

namespace quorvel::service {

class StateStore;

namespace statuspage {

// /chart.svg: every sensor over the day, drawn by the log tool's plot renderer: one point a minute, a gap
// where a sensor had no good read.
[[nodiscard]] QByteArray chartSvg(const StateStore& store, const QDateTime& now);

} // namespace statuspage

} // namespace quorvel::service
