#pragma once

#include "acquisition/logrecord.h"
#include "logruns.h"

#include <QDateTime>
#include <QLineF>
#include <QList>
#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QString>

namespace quorvel::logfile {

// A colour as 8-bit red, green and blue, so the layout needs no Qt Gui: the service draws charts too.
struct PlotColor {
    int red = 0;
    int green = 0;
    int blue = 0;

    // "#rrggbb", lower case.
    [[nodiscard]] QString name() const;
    friend bool operator==(const PlotColor&, const PlotColor&) = default;
};

// Everything a plot shows, in pixels of the final picture, so the PNG and the SVG renderer draw the
// same thing and neither computes layout.
struct PlotText {
    enum Anchor { Start, Middle, End };
    QPointF at; // the anchor point on the text's vertical centre line
    QString text;
    Anchor anchor = Start;
    bool bold = false;
};

// One sensor over one continuous run of records: a gap in logging always ends a line.
struct PlotLine {
    int sensor = 0; // 1..N
    QDateTime from;
    QDateTime to;
    QList<QPointF> points;
};

struct PlotLegendEntry {
    int sensor = 0;
    QRectF swatch;
    PlotText label;
};

struct PlotScene {
    QSize size;
    QRectF plotArea;
    QList<QLineF> gridLines;
    QList<QLineF> tickMarks;
    QList<PlotText> texts;
    QList<PlotLine> lines;
    QList<PlotLegendEntry> legend;
};

class PlotLayout {
public:
    static constexpr int FontPixels = 12;
    static constexpr QSize MinimumSize{400, 260};
    static constexpr QSize MaximumSize{10000, 10000};

    [[nodiscard]] static PlotColor background() { return {0xff, 0xff, 0xff}; }
    [[nodiscard]] static PlotColor foreground() { return {0x20, 0x20, 0x20}; }
    [[nodiscard]] static PlotColor grid() { return {0xe4, 0xe4, 0xe4}; }
    // Thirteen colours far enough apart to tell the lines apart for sensors 1..13, then generated ones.
    [[nodiscard]] static PlotColor sensorColor(int sensor);

    // size is clamped to MinimumSize..MaximumSize.
    [[nodiscard]] static PlotScene layout(const QList<acquisition::LogRecord>& records, QSize size,
                                          const QString& title, double gapFactor = LogRuns::DefaultGapFactor);

    // Round tick values covering [low, high] with about the given count; the first is <= low and the
    // last >= high.
    [[nodiscard]] static QList<double> valueTicks(double low, double high, int count);
    // The step in seconds for about the given count of time ticks over span seconds.
    [[nodiscard]] static qint64 timeStep(qint64 spanSeconds, int count);
};

} // namespace quorvel::logfile
