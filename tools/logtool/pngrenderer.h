#pragma once

#include "logfile/plotlayout.h"

#include <QColor>
#include <QImage>

namespace quorvel::logtool {

// Paints a scene into an image of the scene's size. Text needs a QGuiApplication (fonts come from the
// platform integration); the offscreen platform is enough.
class PngRenderer {
public:
    [[nodiscard]] static QColor color(const logfile::PlotColor& c) { return QColor(c.red, c.green, c.blue); }
    [[nodiscard]] static QImage render(const logfile::PlotScene& scene);
};

} // namespace quorvel::logtool
