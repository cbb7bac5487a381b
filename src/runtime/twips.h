#pragma once

#include <QRect>

class QWidget;

namespace quorvel::runtime {

// Window and control geometry is designed in twips (1/1440 inch); the screen's logical resolution turns
// it into pixels (15 twips a pixel at 96 dpi).
[[nodiscard]] double logicalDpiX(const QWidget* widget = nullptr);
[[nodiscard]] double logicalDpiY(const QWidget* widget = nullptr);
[[nodiscard]] int twipsToPixelsX(int twips, const QWidget* widget = nullptr);
[[nodiscard]] int twipsToPixelsY(int twips, const QWidget* widget = nullptr);
[[nodiscard]] double pixelsToTwipsX(int pixels, const QWidget* widget = nullptr);
[[nodiscard]] double pixelsToTwipsY(int pixels, const QWidget* widget = nullptr);
// A rectangle given as left, top, width, height in twips.
[[nodiscard]] QRect twipsRect(int left, int top, int width, int height, const QWidget* widget = nullptr);

} // namespace quorvel::runtime
