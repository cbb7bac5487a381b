#pragma once

#include "plotlayout.h"

#include <QImage>

namespace quorvel::logtool {

// Paints a scene into an image of the scene's size. Text needs a QGuiApplication (fonts come from the
// platform integration); the offscreen platform is enough.
class PngRenderer {
public:
    [[nodiscard]] static QImage render(const PlotScene& scene);
};

} // namespace quorvel::logtool
