#include "svgrenderer.h"

#include "csvexport.h"

#include <QStringList>

namespace quorvel::logfile {

namespace {

QString number(double v)
{
    QString text = QString::number(v, 'f', 2);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

QString escaped(const QString& text)
{
    QString out = text.toHtmlEscaped();
    // Characters XML 1.0 does not allow at all; file names in titles can hold anything.
    for (QChar& c : out) {
        if (c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            c = QChar::ReplacementCharacter;
        else if (c.unicode() == 0xfffe || c.unicode() == 0xffff)
            c = QChar::ReplacementCharacter;
    }
    return out;
}

QString color(const PlotColor& c)
{
    return c.name();
}

QString line(const QLineF& l)
{
    return QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%4\"/>\n")
        .arg(number(l.x1()), number(l.y1()), number(l.x2()), number(l.y2()));
}

QString text(const PlotText& t)
{
    static const char* const anchors[] = {"start", "middle", "end"};
    return QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"%3\"%4>%5</text>\n")
        .arg(number(t.at.x()), number(t.at.y()), QLatin1String(anchors[t.anchor]),
             t.bold ? QStringLiteral(" font-weight=\"bold\"") : QString(), escaped(t.text));
}

} // namespace

QByteArray SvgRenderer::render(const PlotScene& scene)
{
    QString out;
    out += QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" "
                          "viewBox=\"0 0 %1 %2\" font-family=\"DejaVu Sans, sans-serif\" font-size=\"%3\">\n")
               .arg(scene.size.width())
               .arg(scene.size.height())
               .arg(PlotLayout::FontPixels);
    out += QStringLiteral("<rect width=\"%1\" height=\"%2\" fill=\"%3\"/>\n")
               .arg(scene.size.width())
               .arg(scene.size.height())
               .arg(color(PlotLayout::background()));

    out += QStringLiteral("<g class=\"grid\" stroke=\"%1\" stroke-width=\"1\">\n")
               .arg(color(PlotLayout::grid()));
    for (const QLineF& l : scene.gridLines)
        out += line(l);
    out += QStringLiteral("</g>\n");

    const QRectF clip = scene.plotArea.adjusted(-2, -2, 2, 2);
    out += QStringLiteral(
               "<clipPath id=\"plot-area\"><rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\"/></clipPath>\n")
               .arg(number(clip.x()), number(clip.y()), number(clip.width()), number(clip.height()));
    for (int sensor = 1; sensor <= int(scene.legend.size()); ++sensor) {
        out += QStringLiteral(
                   "<g class=\"series\" data-sensor=\"%1\" stroke=\"%2\" stroke-width=\"2\" fill=\"none\" "
                   "stroke-linecap=\"round\" stroke-linejoin=\"round\" clip-path=\"url(#plot-area)\">\n")
                   .arg(sensor)
                   .arg(color(PlotLayout::sensorColor(sensor)));
        for (const PlotBand& band : scene.bands) {
            if (band.sensor != sensor || band.upper.isEmpty())
                continue;
            QStringList path;
            for (const QPointF& p : band.upper)
                path << number(p.x()) + QLatin1Char(',') + number(p.y());
            for (auto p = band.lower.crbegin(); p != band.lower.crend(); ++p)
                path << number(p->x()) + QLatin1Char(',') + number(p->y());
            out += QStringLiteral("<path class=\"band\" d=\"M%1Z\" fill=\"%2\" fill-opacity=\"0.2\" "
                                  "stroke=\"none\"/>\n")
                       .arg(path.join(QLatin1Char('L')), color(PlotLayout::sensorColor(sensor)));
        }
        for (const PlotLine& l : scene.lines) {
            if (l.sensor != sensor)
                continue;
            QStringList points;
            points.reserve(l.points.size() + 1);
            for (const QPointF& p : l.points)
                points << number(p.x()) + QLatin1Char(',') + number(p.y());
            // A lone record still shows: a zero-length segment with round caps draws a dot.
            if (points.size() == 1)
                points << points.constFirst();
            out +=
                QStringLiteral("<polyline class=\"run\" data-from=\"%1\" data-to=\"%2\" data-records=\"%3\" "
                               "points=\"%4\"/>\n")
                    .arg(CsvExport::timestamp(l.from), CsvExport::timestamp(l.to))
                    .arg(l.records)
                    .arg(points.join(QLatin1Char(' ')));
        }
        out += QStringLiteral("</g>\n");
    }

    out += QStringLiteral("<g class=\"axes\" stroke=\"%1\" stroke-width=\"1\">\n")
               .arg(color(PlotLayout::foreground()));
    for (const QLineF& l : scene.tickMarks)
        out += line(l);
    out += QStringLiteral("</g>\n");
    out += QStringLiteral("<g class=\"labels\" fill=\"%1\" dominant-baseline=\"central\">\n")
               .arg(color(PlotLayout::foreground()));
    for (const PlotText& t : scene.texts)
        out += text(t);
    out += QStringLiteral("</g>\n");

    out += QStringLiteral("<g class=\"legend\" fill=\"%1\" dominant-baseline=\"central\">\n")
               .arg(color(PlotLayout::foreground()));
    for (const PlotLegendEntry& entry : scene.legend) {
        out += QStringLiteral("<g class=\"legend-entry\" data-sensor=\"%1\">"
                              "<rect x=\"%2\" y=\"%3\" width=\"%4\" height=\"%5\" fill=\"%6\"/>")
                   .arg(QString::number(entry.sensor), number(entry.swatch.x()), number(entry.swatch.y()),
                        number(entry.swatch.width()), number(entry.swatch.height()),
                        color(PlotLayout::sensorColor(entry.sensor)));
        out += text(entry.label).trimmed() + QStringLiteral("</g>\n");
    }
    out += QStringLiteral("</g>\n</svg>\n");
    return out.toUtf8();
}

} // namespace quorvel::logfile
