#pragma once

#include "plotlayout.h"

#include <QByteArray>

namespace quorvel::logfile {

// Writes a scene as a standalone SVG document. Each sensor is a <g class="series" data-sensor="N">
// holding one <polyline class="run"> per continuous run, with data-from, data-to (ISO 8601) and
// data-records, so no line ever joins two runs; the legend is <g class="legend"> with one
// <g class="legend-entry" data-sensor="N"> per sensor.
class SvgRenderer {
public:
    [[nodiscard]] static QByteArray render(const PlotScene& scene);
};

} // namespace quorvel::logfile
