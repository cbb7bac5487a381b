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
#include <QStringList>

#include <map>
#include <optional>
#include <utility>

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

// What a plot keeps of records fed one at a time. Up to rawLimit records are kept as they are and laid
// out point by point; beyond, each sensor keeps per stretch of time (a few per pixel column, widened as
// the time covered grows) its lowest, highest and last reading and whether a gap falls in it, so a year
// takes the memory of a few thousand points and draws as an envelope, one pixel column wide, gaps kept.
class PlotEnvelope {
public:
    static constexpr qsizetype DefaultRawLimit = 20000;

    // columns: the plot area's width in pixels (PlotLayout::columns()).
    explicit PlotEnvelope(int columns, qsizetype rawLimit = DefaultRawLimit);
    void add(const acquisition::LogRecord& record);
    [[nodiscard]] qsizetype records() const { return steps_.records(); }
    // The time axis spans at least fromMs..toMs (ms since the epoch), as a chart of the last day shows
    // the whole day from its first minute of records.
    void showTime(qint64 fromMs, qint64 toMs) { frame_ = {fromMs, toMs}; }

private:
    friend class PlotLayout;
    // Records that follow one another within a stretch of time: per sensor slot the lowest, highest and
    // last reading (3 floats a slot, NaN where no record had the slot).
    struct Cell {
        qsizetype records = 0;
        qint64 firstMs = 0; // the earliest and the latest record's time
        qint64 lastMs = 0;
        qint64 entryFromMs = 0;   // the record read before the first one, or entryBreak
        qint64 entryStep = 0;     // the step from it
        bool entryBreak = true;   // no record before, back in time or another count of readings
        qint64 insideStep = 0;    // the longest step between records within
        bool insideBreak = false; // a break within
        QList<float> values;

        void add(qint64 ms, const QList<float>& readings, qint64 fromMs, bool definite, bool first);
        void merge(const Cell& later);
    };
    void toCells();
    Cell& cellFor(qint64 ms);

    int columns_;
    qsizetype rawLimit_;
    QList<acquisition::LogRecord> raw_;
    // Stretches of widthMs_ milliseconds from the epoch, keyed by their index.
    std::map<qint64, Cell> cells_;
    qint64 widthMs_ = 0;
    Cell* last_ = nullptr; // the stretch the last record fell into, from lastFrom_
    qint64 lastFrom_ = 0;
    StepCounter steps_;
    qsizetype widest_ = 0;
    float low_ = 0.0f;
    float high_ = 0.0f;
    bool valued_ = false; // low_ and high_ hold a reading
    qint64 t0_ = 0;
    qint64 t1_ = 0;
    qint64 previousMs_ = 0;
    qsizetype previousCount_ = 0;
    std::optional<std::pair<qint64, qint64>> frame_;
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
};

} // namespace quorvel::logfile
