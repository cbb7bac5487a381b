#include "twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace quorvel::runtime {

namespace {
constexpr double TwipsPerInch = 1440.0;

const QScreen* screenOf(const QWidget* widget)
{
    if (widget && widget->screen())
        return widget->screen();
    return QGuiApplication::primaryScreen();
}
} // namespace

double logicalDpiX(const QWidget* widget)
{
    const QScreen* s = screenOf(widget);
    return s ? s->logicalDotsPerInchX() : 96.0;
}

double logicalDpiY(const QWidget* widget)
{
    const QScreen* s = screenOf(widget);
    return s ? s->logicalDotsPerInchY() : 96.0;
}

int twipsToPixelsX(int twips, const QWidget* widget)
{
    return static_cast<int>(std::lround(twips * logicalDpiX(widget) / TwipsPerInch));
}

int twipsToPixelsY(int twips, const QWidget* widget)
{
    return static_cast<int>(std::lround(twips * logicalDpiY(widget) / TwipsPerInch));
}

int pixelsToTwips(int pixels, double dpi)
{
    return static_cast<int>(std::lround(pixels * TwipsPerInch / dpi));
}

int pixelsToTwipsX(int pixels, const QWidget* widget)
{
    return pixelsToTwips(pixels, logicalDpiX(widget));
}
int pixelsToTwipsY(int pixels, const QWidget* widget)
{
    return pixelsToTwips(pixels, logicalDpiY(widget));
}

QRect twipsRect(int left, int top, int width, int height, const QWidget* widget)
{
    return {twipsToPixelsX(left, widget), twipsToPixelsY(top, widget), twipsToPixelsX(width, widget),
            twipsToPixelsY(height, widget)};
}

} // namespace quorvel::runtime
