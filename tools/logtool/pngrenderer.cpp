#include "pngrenderer.h"

#include <QFont>
#include <QPainter>
#include <QPolygonF>

#include <cmath>
#include <optional>

namespace quorvel::logtool {

namespace {

void drawText(QPainter& painter, const logfile::PlotText& text)
{
    // A box far larger than any label, placed so the alignment puts the text at its anchor.
    constexpr double Reach = 2000;
    QRectF box(text.at.x(), text.at.y() - Reach / 2, Reach, Reach);
    Qt::Alignment align = Qt::AlignVCenter | Qt::AlignLeft;
    if (text.anchor == logfile::PlotText::Middle) {
        box.moveLeft(text.at.x() - Reach / 2);
        align = Qt::AlignVCenter | Qt::AlignHCenter;
    } else if (text.anchor == logfile::PlotText::End) {
        box.moveLeft(text.at.x() - Reach);
        align = Qt::AlignVCenter | Qt::AlignRight;
    }
    QFont font = painter.font();
    font.setBold(text.bold);
    painter.setFont(font);
    painter.drawText(box, int(align), text.text);
}

// An envelope drawn as the polyline it is costs a stroked, anti-aliased segment for each of its thousands
// of points. Where its pixel columns follow one another, the same trace is a run of vertical spans, each a
// line's width across and covering the column's lowest to highest point and the last point of the column
// before: plain rectangles, filled without anti-aliasing. Nothing where the line is not such an envelope.
std::optional<QList<QRectF>> columnSpans(const logfile::PlotLine& line, double width)
{
    if (line.records <= line.points.size())
        return std::nullopt;
    QList<QRectF> spans;
    std::optional<double> before; // the last point of the column before
    double x = 0;
    double low = 0;
    double high = 0;
    const auto close = [&] {
        spans.append(QRectF(std::round(x - width / 2), std::floor(low - width / 2), width,
                            std::ceil(high + width / 2) - std::floor(low - width / 2)));
    };
    for (qsizetype i = 0; i < line.points.size(); ++i) {
        const QPointF p = line.points.at(i);
        if (i > 0 && p.x() == x) {
            low = std::min(low, p.y());
            high = std::max(high, p.y());
            continue;
        }
        if (i > 0) {
            // Columns further apart than a line's width would show as dots: a polyline joins them.
            if (p.x() - x > width)
                return std::nullopt;
            close();
            before = line.points.at(i - 1).y();
        }
        x = p.x();
        low = high = p.y();
        if (before) {
            low = std::min(low, *before);
            high = std::max(high, *before);
        }
    }
    close();
    return spans;
}

} // namespace

QImage PngRenderer::render(const logfile::PlotScene& scene)
{
    QImage image(scene.size, QImage::Format_RGB32);
    image.fill(color(logfile::PlotLayout::background()));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(logfile::PlotLayout::FontPixels);
    painter.setFont(font);

    painter.setPen(QPen(color(logfile::PlotLayout::grid()), 1));
    painter.drawLines(scene.gridLines);

    painter.setClipRect(scene.plotArea.adjusted(-2, -2, 2, 2));
    constexpr double LineWidth = 2;
    for (const logfile::PlotLine& line : scene.lines) {
        const QColor colour = color(logfile::PlotLayout::sensorColor(line.sensor));
        if (const std::optional<QList<QRectF>> spans = columnSpans(line, LineWidth)) {
            painter.setRenderHint(QPainter::Antialiasing, false);
            painter.setPen(Qt::NoPen);
            painter.setBrush(colour);
            painter.drawRects(*spans);
            continue;
        }
        painter.setRenderHint(QPainter::Antialiasing, true);
        QPen pen(colour, LineWidth);
        pen.setCapStyle(Qt::RoundCap);
        pen.setJoinStyle(Qt::RoundJoin);
        painter.setPen(pen);
        if (line.points.size() == 1)
            painter.drawPoint(line.points.constFirst());
        else
            painter.drawPolyline(QPolygonF(line.points));
    }
    painter.setClipping(false);

    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(color(logfile::PlotLayout::foreground()), 1));
    painter.drawLines(scene.tickMarks);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    for (const logfile::PlotText& text : scene.texts)
        drawText(painter, text);
    for (const logfile::PlotLegendEntry& entry : scene.legend) {
        painter.fillRect(entry.swatch, color(logfile::PlotLayout::sensorColor(entry.sensor)));
        painter.setPen(color(logfile::PlotLayout::foreground()));
        drawText(painter, entry.label);
    }
    painter.end();
    return image;
}

} // namespace quorvel::logtool
