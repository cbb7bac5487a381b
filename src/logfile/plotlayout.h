#pragma once

#include "logrecord.h"
#include "logruns.h"
#include "plotenvelope.h"

#include <QDateTime>
#include <QLineF>
#include <QList>
#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QStringList>

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
    // The records the line stands for: one a point where every record is drawn, more in an envelope.
    qsizetype records = 0;
};

// A sensor's spread over a run of points, drawn translucent under its line: the highest values left to
// right, then the lowest.
struct PlotBand {
    int sensor = 0;
    QList<QPointF> upper;
    QList<QPointF> lower;
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
    QList<PlotBand> bands;
    QList<PlotLegendEntry> legend;
    // The times (ms since the epoch) and values at the plot area's edges, to place what a caller draws.
    qint64 fromMs = 0;
    qint64 toMs = 0;
    double lowValue = 0;
    double highValue = 0;
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

    // size is clamped to MinimumSize..MaximumSize. The legend shows sensor N as names[N - 1], or as N
    // where that is empty or missing; it is as wide as the widest name, up to a third of the picture,
    // and a name wider than that is shortened with an ellipsis.
    [[nodiscard]] static PlotScene layout(const QList<acquisition::LogRecord>& records, QSize size,
                                          const QString& title, double gapFactor = LogRuns::DefaultGapFactor,
                                          const QStringList& names = {});
    [[nodiscard]] static PlotScene layout(const PlotEnvelope& envelope, QSize size, const QString& title,
                                          double gapFactor = LogRuns::DefaultGapFactor,
                                          const QStringList& names = {});
    // The pixel columns of the plot area in a picture of that size with a legend of those names.
    [[nodiscard]] static int columns(QSize size, const QStringList& names = {});
    // The width in pixels of text in the plots' font, DejaVu Sans at FontPixels, from the advances of its
    // glyphs; a character beyond ASCII counts a full em, wider than most, so a label is not cut where the
    // viewer draws it with another sans-serif font.
    [[nodiscard]] static double textWidth(QStringView text);

    // Round tick values covering [low, high] with about the given count; the first is <= low and the
    // last >= high.
    [[nodiscard]] static QList<double> valueTicks(double low, double high, int count);
    // The step in seconds for about the given count of time ticks over span seconds.
    [[nodiscard]] static qint64 timeStep(qint64 spanSeconds, int count);

private:
    // Where a time and a value fall in the plot area.
    struct Scales;
    // The steps of layout() after the frame, in the order they add to the scene.
    [[nodiscard]] static Scales scales(const PlotEnvelope& envelope, const QRectF& area);
    static void addValueAxis(PlotScene& scene, const Scales& scales);
    static void addTimeAxis(PlotScene& scene, const Scales& scales);
    static void addRunLines(PlotScene& scene, const PlotEnvelope& envelope, const Scales& scales,
                            double gapFactor);
    [[nodiscard]] static QList<PlotEnvelope::Cell> pixelColumns(const PlotEnvelope& envelope,
                                                                const Scales& scales);
    static void addColumnLines(PlotScene& scene, const PlotEnvelope& envelope, const Scales& scales,
                               double gapFactor);
};

} // namespace quorvel::logfile
