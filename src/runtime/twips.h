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
// Whole twips, rounded to the nearest (half away from zero): at a resolution that is not a divisor of
// 1440 a pixel is a fraction of twips, and a stored placement is a whole number at any scale.
[[nodiscard]] int pixelsToTwips(int pixels, double dpi);
[[nodiscard]] int pixelsToTwipsX(int pixels, const QWidget* widget = nullptr);
[[nodiscard]] int pixelsToTwipsY(int pixels, const QWidget* widget = nullptr);
// A rectangle given as left, top, width, height in twips.
[[nodiscard]] QRect twipsRect(int left, int top, int width, int height, const QWidget* widget = nullptr);

} // namespace quorvel::runtime
