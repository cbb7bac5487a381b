#include "plotlayout.h"

#include "runtime/localeformats.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>

namespace quorvel::logfile {

namespace {

constexpr double LeftMargin = 64;
constexpr double RightMargin = 70;
constexpr double TopMargin = 36;
constexpr double BottomMargin = 64;
constexpr double TickLength = 4;
constexpr double LineHeight = 15;
// The legend: the gap from the plot area to a swatch, from a swatch to its label, after the label.
constexpr double LegendGap = 14;
constexpr double SwatchToLabel = 24;
constexpr double LegendEnd = 8;
// The share of the readings' range added below and above it.
constexpr double ValuePadding = 0.03;

// The advances of DejaVu Sans's glyphs for ASCII 32..126, in units of 1/2048 em.
constexpr std::array<quint16, 95> AsciiAdvances{
    651,  821,  942,  1716, 1303, 1946, 1597, 563,  799,  799,  1024, 1716, 651,  739,  651,  690,
    1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 690,  690,  1716, 1716, 1716, 1087,
    2048, 1401, 1405, 1430, 1577, 1294, 1178, 1587, 1540, 604,  604,  1343, 1141, 1767, 1532, 1612,
    1235, 1612, 1423, 1300, 1251, 1499, 1401, 2025, 1403, 1251, 1403, 799,  690,  799,  1716, 1024,
    1024, 1255, 1300, 1126, 1300, 1260, 721,  1300, 1298, 569,  569,  1186, 569,  1995, 1298, 1253,
    1300, 1300, 842,  1067, 803,  1298, 1212, 1675, 1212, 1212, 1075, 1303, 690,  1303, 1716};

// The legend's labels and the right margin that holds them.
struct Legend {
    QStringList labels; // for sensors 1..N
    double margin = 0;
};

Legend legendFor(const QStringList& names, int sensors, double width)
{
    Legend legend;
    const double room = std::max(RightMargin, std::floor(width / 3));
    const double widest = room - LegendGap - SwatchToLabel - LegendEnd;
    double used = 0;
    // Every name counts, so the plot area is the same whatever count of readings the records have.
    for (int sensor = 1; sensor <= std::max<qsizetype>(sensors, names.size()); ++sensor) {
        QString label = names.value(sensor - 1);
        if (label.isEmpty())
            label = QString::number(sensor);
        if (PlotLayout::textWidth(label) > widest) {
            const QString ellipsis(QChar(0x2026));
            while (!label.isEmpty() && PlotLayout::textWidth(label + ellipsis) > widest)
                label.chop(1);
            label = label.trimmed() + ellipsis;
        }
        used = std::max(used, PlotLayout::textWidth(label));
        legend.labels << label;
    }
    legend.margin = std::max(RightMargin, std::ceil(LegendGap + SwatchToLabel + used + LegendEnd));
    return legend;
}

// Decimals that show every tick of the step exactly; large values go to exponent form instead.
QString tickText(double value, double step)
{
    if (std::fabs(value) < step * 1e-9)
        value = 0.0;
    if (std::fabs(value) >= 1e7 || step >= 1e7)
        return QString::number(value, 'g', 6);
    int decimals = 0;
    while (decimals < 9) {
        const double scaled = step * std::pow(10.0, decimals);
        if (std::fabs(scaled - std::round(scaled)) < 1e-6 * scaled)
            break;
        ++decimals;
    }
    return QString::number(value, 'f', decimals);
}

// Rounds up also for times before 1970.
qint64 ceilToMultiple(qint64 value, qint64 step)
{
    const qint64 q = value / step;
    return (q * step < value ? q + 1 : q) * step;
}

// Hue in degrees, saturation and value 0..255, converted with 16-bit channels as QColor::fromHsv does,
// so the colours stay those the plots always had.
PlotColor fromHsv(int hue, int saturation, int value)
{
    constexpr double Max = 65535.0;
    const double h = hue * 100 / 6000.0;
    const double s = saturation * 0x101 / Max;
    const double v = value * 0x101 / Max;
    const int i = int(h);
    const double f = h - i;
    const double p = v * (1.0 - s);
    const double q = v * (1.0 - s * f);
    const double t = v * (1.0 - s * (1.0 - f));
    const std::array<std::array<double, 3>, 6> sextants{
        {{v, t, p}, {q, v, p}, {p, v, t}, {p, q, v}, {t, p, v}, {v, p, q}}};
    const auto& rgb = sextants[static_cast<std::size_t>(i % 6)];
    const auto channel = [](double c) {
        const int wide = int(std::lround(c * Max));
        return (wide - (wide >> 8) + 0x80) >> 8;
    };
    return {channel(rgb[0]), channel(rgb[1]), channel(rgb[2])};
}

// The title, the unit, the plot area's border and the legend, for a scene of its final size.
void addFrame(PlotScene& scene, const QString& title, int sensors, const QStringList& names)
{
    const double width = scene.size.width();
    const double height = scene.size.height();
    const Legend legend = legendFor(names, sensors, width);
    const QRectF area(LeftMargin, TopMargin, width - LeftMargin - legend.margin,
                      height - TopMargin - BottomMargin);
    scene.plotArea = area;

    scene.texts.append({QPointF(area.center().x(), TopMargin / 2), title, PlotText::Middle, true});
    scene.texts.append(
        {QPointF(area.left() - 8, TopMargin / 2), QStringLiteral("\u00b0C"), PlotText::End, true});
    scene.tickMarks << QLineF(area.topLeft(), area.bottomLeft())
                    << QLineF(area.bottomLeft(), area.bottomRight())
                    << QLineF(area.topLeft(), area.topRight()) << QLineF(area.topRight(), area.bottomRight());

    const double legendX = area.right() + LegendGap;
    const double spacing = std::min(20.0, area.height() / sensors);
    for (int sensor = 1; sensor <= sensors; ++sensor) {
        const double y = std::round(area.top() + spacing * (sensor - 0.5));
        scene.legend.append(
            {sensor,
             QRectF(legendX, y - 3, 18, 6),
             {QPointF(legendX + SwatchToLabel, y), legend.labels.at(sensor - 1), PlotText::Start, false}});
    }
}

} // namespace

QString PlotColor::name() const
{
    return QStringLiteral("#%1%2%3")
        .arg(red, 2, 16, QLatin1Char('0'))
        .arg(green, 2, 16, QLatin1Char('0'))
        .arg(blue, 2, 16, QLatin1Char('0'));
}

PlotColor PlotLayout::sensorColor(int sensor)
{
    static constexpr std::array<quint32, acquisition::LogRecord::ReadingCount> palette{
        0x1f77b4, 0xff7f0e, 0x2ca02c, 0xd62728, 0x9467bd, 0x8c564b, 0xe377c2,
        0x7f7f7f, 0xbcbd22, 0x17becf, 0x000080, 0x008080, 0xff00ff};
    if (sensor <= int(palette.size())) {
        const quint32 rgb = palette[static_cast<std::size_t>(std::max(sensor, 1) - 1)];
        return {int(rgb >> 16), int((rgb >> 8) & 0xff), int(rgb & 0xff)};
    }
    // Beyond the palette, hues a golden angle apart, so neighbours never look alike.
    return fromHsv(int(std::lround(std::fmod(sensor * 137.508, 360.0))) % 360, 200, 190);
}

QList<double> PlotLayout::valueTicks(double low, double high, int count)
{
    if (!(high > low)) {
        const double pad = std::max(1.0, std::fabs(low) * 0.01);
        low -= pad;
        high += pad;
    }
    count = std::clamp(count, 1, 100);
    const double raw = (high - low) / count;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double norm = raw / magnitude;
    const double nice = norm <= 1 ? 1 : norm <= 2 ? 2 : norm <= 2.5 ? 2.5 : norm <= 5 ? 5 : 10;
    const double step = nice * magnitude;
    const double first = std::floor(low / step);
    const double last = std::ceil(high / step);
    QList<double> ticks;
    for (double i = first; i <= last && ticks.size() < 1000; i += 1.0)
        ticks.append(i * step);
    return ticks;
}

qint64 PlotLayout::timeStep(qint64 spanSeconds, int count)
{
    static constexpr std::array<qint64, 20> steps{1,     2,     5,     10,    15,     30,    60,
                                                  120,   300,   600,   900,   1800,   3600,  7200,
                                                  10800, 21600, 43200, 86400, 172800, 604800};
    count = std::max(count, 1);
    for (const qint64 step : steps) {
        if (spanSeconds / step <= count)
            return step;
    }
    qint64 days = 14;
    while (spanSeconds / (days * 86400) > count)
        days = days % 7 == 0 ? days / 7 * 15 : days * 2;
    return days * 86400;
}

double PlotLayout::textWidth(QStringView text)
{
    double units = 0;
    for (const QChar c : text) {
        if (c.isLowSurrogate())
            continue; // a pair is one character
        const char16_t u = c.unicode();
        units += u >= 32 && u < 127 ? AsciiAdvances[u - 32] : 2048;
    }
    return units * FontPixels / 2048.0;
}

int PlotLayout::columns(QSize size, const QStringList& names)
{
    const QSize s = size.expandedTo(MinimumSize).boundedTo(MaximumSize);
    return int(s.width() - LeftMargin - legendFor(names, 1, s.width()).margin);
}

PlotScene PlotLayout::layout(const QList<acquisition::LogRecord>& records, QSize size, const QString& title,
                             double gapFactor, const QStringList& names)
{
    PlotEnvelope envelope(columns(size, names), records.size());
    for (const acquisition::LogRecord& record : records)
        envelope.add(record);
    return layout(envelope, size, title, gapFactor, names);
}

struct PlotLayout::Scales {
    QRectF area;
    qint64 t0 = 0; // the times at the left and the right edge, ms since the epoch
    qint64 t1 = 0;
    QList<double> ticks; // the value axis's, the first at the bottom edge and the last at the top
    double v0 = 0;
    double v1 = 0;

    [[nodiscard]] double x(qint64 ms) const
    {
        return area.left() + static_cast<double>(ms - t0) / static_cast<double>(t1 - t0) * area.width();
    }
    [[nodiscard]] double y(double v) const { return area.bottom() - (v - v0) / (v1 - v0) * area.height(); }
};

PlotScene PlotLayout::layout(const PlotEnvelope& envelope, QSize size, const QString& title, double gapFactor,
                             const QStringList& names)
{
    const bool none = envelope.records() == 0;
    PlotScene scene;
    scene.size = size.expandedTo(MinimumSize).boundedTo(MaximumSize);
    addFrame(scene, title, none ? int(acquisition::LogRecord::ReadingCount) : int(envelope.widest_), names);
    if (none) {
        scene.texts.append({scene.plotArea.center(), QStringLiteral("No records"), PlotText::Middle, false});
        // Without a frame of time there is no axis to draw.
        if (!envelope.frame_)
            return scene;
    }
    const Scales s = scales(envelope, scene.plotArea);
    scene.fromMs = s.t0;
    scene.toMs = s.t1;
    scene.lowValue = s.v0;
    scene.highValue = s.v1;
    addValueAxis(scene, s);
    addTimeAxis(scene, s);
    if (envelope.widthMs_ == 0)
        addRunLines(scene, envelope, s, gapFactor);
    else
        addColumnLines(scene, envelope, s, gapFactor);
    return scene;
}

PlotLayout::Scales PlotLayout::scales(const PlotEnvelope& envelope, const QRectF& area)
{
    const bool none = envelope.records() == 0;
    Scales s;
    s.area = area;
    s.t0 = none ? envelope.frame_->first : envelope.t0_;
    s.t1 = none ? envelope.frame_->second : envelope.t1_;
    if (envelope.frame_) {
        s.t0 = std::min(s.t0, envelope.frame_->first);
        s.t1 = std::max(s.t1, envelope.frame_->second);
    }
    if (s.t1 == s.t0) {
        s.t0 -= 30000;
        s.t1 += 30000;
    }
    // Padded, so the lowest and highest readings are never drawn on the frame, where they would be hidden.
    const double pad = (envelope.high_ - envelope.low_) * ValuePadding;
    s.ticks = valueTicks(envelope.low_ - pad, envelope.high_ + pad, std::max(2, int(area.height() / 45)));
    s.v0 = s.ticks.constFirst();
    s.v1 = s.ticks.constLast();
    return s;
}

void PlotLayout::addValueAxis(PlotScene& scene, const Scales& s)
{
    const QRectF& area = s.area;
    const double valueStep = s.ticks.size() > 1 ? s.ticks.at(1) - s.ticks.at(0) : 1.0;
    for (const double v : s.ticks) {
        const double y = s.y(v);
        scene.gridLines << QLineF(area.left(), y, area.right(), y);
        scene.tickMarks << QLineF(area.left() - TickLength, y, area.left(), y);
        scene.texts.append({QPointF(area.left() - TickLength - 3, y), tickText(v, valueStep), PlotText::End});
    }
}

// The time ticks and their labels, and under them the caption that names the time zone.
void PlotLayout::addTimeAxis(PlotScene& scene, const Scales& s)
{
    const QRectF& area = s.area;
    // Ticks fall on round local wall-clock times; the offset of the first record places them.
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(s.t0);
    const qint64 offset = start.offsetFromUtc();
    const qint64 step = timeStep((s.t1 - s.t0) / 1000, std::max(2, int(area.width() / 110)));
    const qint64 firstWall = ceilToMultiple(s.t0 / 1000 + offset, step);
    QDate previousDate;
    for (qint64 wall = firstWall; (wall - offset) * 1000 <= s.t1; wall += step) {
        const qint64 ms = (wall - offset) * 1000;
        const double x = s.x(ms);
        const QDateTime tick = QDateTime::fromMSecsSinceEpoch(ms);
        scene.gridLines << QLineF(x, area.top(), x, area.bottom());
        scene.tickMarks << QLineF(x, area.bottom(), x, area.bottom() + TickLength);
        const double y = area.bottom() + TickLength + LineHeight / 2 + 2;
        if (step >= 86400) {
            scene.texts.append(
                {QPointF(x, y), tick.toString(QStringLiteral("yyyy-MM-dd")), PlotText::Middle});
            continue;
        }
        const QString format = step < 60 ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm");
        scene.texts.append({QPointF(x, y), tick.toString(format), PlotText::Middle});
        if (tick.date() != previousDate)
            scene.texts.append(
                {QPointF(x, y + LineHeight), tick.toString(QStringLiteral("yyyy-MM-dd")), PlotText::Middle});
        previousDate = tick.date();
    }

    const int lastOffset = QDateTime::fromMSecsSinceEpoch(s.t1).offsetFromUtc();
    const QString caption =
        lastOffset == offset ? runtime::localZoneText(start) : QStringLiteral("local time");
    const double height = scene.size.height();
    scene.texts.append({QPointF(area.center().x(), height - LineHeight / 2 - 4), caption, PlotText::Middle});
}

// Every record a point, a line per sensor and run.
void PlotLayout::addRunLines(PlotScene& scene, const PlotEnvelope& envelope, const Scales& s,
                             double gapFactor)
{
    const QList<acquisition::LogRecord>& records = envelope.raw_;
    for (const LogRun& run : LogRuns::split(records, gapFactor)) {
        // Every record of a run has the same count of readings.
        for (qsizetype slot = 0; slot < records.at(run.first).readings.size(); ++slot) {
            PlotLine line;
            line.sensor = int(slot) + 1;
            line.from = records.at(run.first).when;
            line.to = records.at(run.first + run.count - 1).when;
            line.records = run.count;
            line.points.reserve(run.count);
            for (qsizetype i = run.first; i < run.first + run.count; ++i) {
                const acquisition::LogRecord& record = records.at(i);
                line.points.append(QPointF(s.x(record.when.toMSecsSinceEpoch()), s.y(record.readings[slot])));
            }
            scene.lines.append(std::move(line));
        }
    }
}

// The stretches of time gathered into pixel columns, placed at their latest record.
QList<PlotEnvelope::Cell> PlotLayout::pixelColumns(const PlotEnvelope& envelope, const Scales& s)
{
    QList<PlotEnvelope::Cell> columns;
    QList<int> columnIndex;
    for (const auto& [key, cell] : envelope.cells_) {
        const int column = std::clamp(int(std::floor(s.x(cell.lastMs) - s.area.left())), 0,
                                      std::max(envelope.columns_ - 1, 0));
        if (!columnIndex.isEmpty() && columnIndex.constLast() == column) {
            columns.last().merge(cell);
            continue;
        }
        columns.append(cell);
        columnIndex.append(column);
    }
    return columns;
}

// Each sensor's lowest, highest and last reading of each pixel column, a line per run of joined columns.
void PlotLayout::addColumnLines(PlotScene& scene, const PlotEnvelope& envelope, const Scales& s,
                                double gapFactor)
{
    const QList<PlotEnvelope::Cell> columns = pixelColumns(envelope, s);
    const qint64 threshold = envelope.steps_.gapThresholdMs(gapFactor);
    const auto gapInside = [&](const PlotEnvelope::Cell& c) {
        return c.insideBreak || c.insideStep > threshold;
    };
    QList<bool> joined(columns.size(), false); // joined to the column before it
    for (qsizetype c = 1; c < columns.size(); ++c) {
        const PlotEnvelope::Cell& here = columns.at(c);
        const PlotEnvelope::Cell& before = columns.at(c - 1);
        joined[c] = !here.entryBreak && here.entryStep <= threshold && here.entryFromMs >= before.firstMs &&
                    here.entryFromMs <= before.lastMs && !gapInside(before);
    }
    for (qsizetype slot = 0; slot < envelope.widest_; ++slot) {
        PlotLine line;
        qsizetype records = 0;
        const auto finish = [&] {
            if (line.points.isEmpty())
                return;
            scene.lines.append(std::move(line));
            line = PlotLine();
        };
        for (qsizetype c = 0; c < columns.size(); ++c) {
            const PlotEnvelope::Cell& cell = columns.at(c);
            const bool has = 3 * slot < cell.values.size() && !std::isnan(cell.values[3 * slot]);
            if (!has || !joined[c])
                finish();
            if (!has)
                continue;
            if (line.points.isEmpty()) {
                line.sensor = int(slot) + 1;
                line.from = QDateTime::fromMSecsSinceEpoch(cell.firstMs);
                records = 0;
            }
            line.to = QDateTime::fromMSecsSinceEpoch(cell.lastMs);
            records += cell.records;
            const double x = s.x(cell.lastMs);
            for (int k = 0; k < 3; ++k) {
                const QPointF p(x, s.y(cell.values[3 * slot + k]));
                if (line.points.isEmpty() || line.points.constLast() != p)
                    line.points.append(p);
            }
            line.records = records;
        }
        finish();
    }
}

} // namespace quorvel::logfile
