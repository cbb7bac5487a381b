#include "pngrenderer.h"

#include <QFont>
#include <QPainter>
#include <QPolygonF>

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

    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setClipRect(scene.plotArea.adjusted(-2, -2, 2, 2));
    for (const logfile::PlotLine& line : scene.lines) {
        QPen pen(color(logfile::PlotLayout::sensorColor(line.sensor)), 2);
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
