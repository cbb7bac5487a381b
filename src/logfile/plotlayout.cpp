#include "plotlayout.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace quorvel::logfile {

namespace {

constexpr double LeftMargin = 64;
constexpr double RightMargin = 70;
constexpr double TopMargin = 36;
constexpr double BottomMargin = 64;
constexpr double TickLength = 4;
constexpr double LineHeight = 15;

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

QString offsetText(int seconds)
{
    const int minutes = std::abs(seconds) / 60;
    return QStringLiteral("UTC%1%2:%3")
        .arg(seconds < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
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
        0x7f7f7f, 0xbcbd22, 0x17becf, 0x000080, 0x00c000, 0xff00ff};
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

PlotScene PlotLayout::layout(const QList<acquisition::LogRecord>& records, QSize size, const QString& title,
                             double gapFactor)
{
    PlotScene scene;
    scene.size = size.expandedTo(MinimumSize).boundedTo(MaximumSize);
    const double width = scene.size.width();
    const double height = scene.size.height();
    const QRectF area(LeftMargin, TopMargin, width - LeftMargin - RightMargin,
                      height - TopMargin - BottomMargin);
    scene.plotArea = area;

    scene.texts.append({QPointF(area.center().x(), TopMargin / 2), title, PlotText::Middle, true});
    scene.texts.append(
        {QPointF(area.left() - 8, TopMargin / 2), QStringLiteral("\u00b0C"), PlotText::End, true});
    scene.tickMarks << QLineF(area.topLeft(), area.bottomLeft())
                    << QLineF(area.bottomLeft(), area.bottomRight())
                    << QLineF(area.topLeft(), area.topRight()) << QLineF(area.topRight(), area.bottomRight());

    const double legendX = area.right() + 14;
    const int sensors =
        records.isEmpty() ? int(acquisition::LogRecord::ReadingCount) : int(LogRuns::widestCount(records));
    const double spacing = std::min(20.0, area.height() / sensors);
    for (int sensor = 1; sensor <= sensors; ++sensor) {
        const double y = std::round(area.top() + spacing * (sensor - 0.5));
        scene.legend.append({sensor,
                             QRectF(legendX, y - 3, 18, 6),
                             {QPointF(legendX + 24, y), QString::number(sensor), PlotText::Start, false}});
    }

    if (records.isEmpty()) {
        scene.texts.append({area.center(), QStringLiteral("No records"), PlotText::Middle, false});
        return scene;
    }

    float low = records.constFirst().readings[0];
    float high = low;
    qint64 t0 = records.constFirst().when.toMSecsSinceEpoch();
    qint64 t1 = t0;
    for (const acquisition::LogRecord& record : records) {
        const auto [lo, hi] = std::minmax_element(record.readings.begin(), record.readings.end());
        low = std::min(low, *lo);
        high = std::max(high, *hi);
        const qint64 t = record.when.toMSecsSinceEpoch();
        t0 = std::min(t0, t);
        t1 = std::max(t1, t);
    }
    if (t1 == t0) {
        t0 -= 30000;
        t1 += 30000;
    }

    const QList<double> ticks = valueTicks(low, high, std::max(2, int(area.height() / 45)));
    const double v0 = ticks.constFirst();
    const double v1 = ticks.constLast();
    const auto yOf = [&](double v) { return area.bottom() - (v - v0) / (v1 - v0) * area.height(); };
    const auto xOf = [&](qint64 ms) {
        return area.left() + static_cast<double>(ms - t0) / static_cast<double>(t1 - t0) * area.width();
    };
    const double valueStep = ticks.size() > 1 ? ticks.at(1) - ticks.at(0) : 1.0;
    for (const double v : ticks) {
        const double y = yOf(v);
        scene.gridLines << QLineF(area.left(), y, area.right(), y);
        scene.tickMarks << QLineF(area.left() - TickLength, y, area.left(), y);
        scene.texts.append({QPointF(area.left() - TickLength - 3, y), tickText(v, valueStep), PlotText::End});
    }

    // Ticks fall on round local wall-clock times; the offset of the first record places them.
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(t0);
    const qint64 offset = start.offsetFromUtc();
    const qint64 step = timeStep((t1 - t0) / 1000, std::max(2, int(area.width() / 110)));
    const qint64 firstWall = ceilToMultiple(t0 / 1000 + offset, step);
    QDate previousDate;
    for (qint64 wall = firstWall; (wall - offset) * 1000 <= t1; wall += step) {
        const qint64 ms = (wall - offset) * 1000;
        const double x = xOf(ms);
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

    const int lastOffset = QDateTime::fromMSecsSinceEpoch(t1).offsetFromUtc();
    const QString caption = lastOffset == offset
                                ? QStringLiteral("local time (%1)").arg(offsetText(int(offset)))
                                : QStringLiteral("local time");
    scene.texts.append({QPointF(area.center().x(), height - LineHeight / 2 - 4), caption, PlotText::Middle});

    for (const LogRun& run : LogRuns::split(records, gapFactor)) {
        // Every record of a run has the same count of readings.
        for (qsizetype slot = 0; slot < records.at(run.first).readings.size(); ++slot) {
            PlotLine line;
            line.sensor = int(slot) + 1;
            line.from = records.at(run.first).when;
            line.to = records.at(run.first + run.count - 1).when;
            line.points.reserve(run.count);
            for (qsizetype i = run.first; i < run.first + run.count; ++i) {
                const acquisition::LogRecord& record = records.at(i);
                line.points.append(QPointF(xOf(record.when.toMSecsSinceEpoch()), yOf(record.readings[slot])));
            }
            scene.lines.append(std::move(line));
        }
    }
    return scene;
}

} // namespace quorvel::logfile
