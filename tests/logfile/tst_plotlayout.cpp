#include "logfile/csvexport.h"
#include "logfile/plotlayout.h"
#include "logfile/svgrenderer.h"
#include "logtoolfixture.h"
#include "pngrenderer.h"

#include <QFontMetricsF>
#include <QXmlStreamReader>
#include <QtTest>

using namespace logtoolfixture;
using namespace quorvel::logfile;
using quorvel::logtool::PngRenderer;

namespace {

struct SvgRun {
    int sensor = 0;
    QString from;
    QString to;
    int records = 0;
    int points = 0;
};

struct SvgSummary {
    bool wellFormed = false;
    QString error;
    QList<SvgRun> runs;
    QStringList legendLabels;
    QSize size;
};

SvgSummary readSvg(const QByteArray& svg)
{
    SvgSummary summary;
    QXmlStreamReader xml(svg);
    int sensor = 0;
    bool inLegendEntry = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const auto a = xml.attributes();
            const QString cls = a.value(QLatin1String("class")).toString();
            if (xml.name() == u"svg")
                summary.size =
                    QSize(a.value(QLatin1String("width")).toInt(), a.value(QLatin1String("height")).toInt());
            if (xml.name() == u"g" && cls == u"series")
                sensor = a.value(QLatin1String("data-sensor")).toInt();
            if (xml.name() == u"g" && cls == u"legend-entry")
                inLegendEntry = true;
            if (xml.name() == u"text" && inLegendEntry)
                summary.legendLabels << xml.readElementText();
            if (xml.name() == u"polyline") {
                const auto points = a.value(QLatin1String("points")).split(u' ', Qt::SkipEmptyParts);
                summary.runs.append({sensor, a.value(QLatin1String("data-from")).toString(),
                                     a.value(QLatin1String("data-to")).toString(),
                                     a.value(QLatin1String("data-records")).toInt(), int(points.size())});
            }
        } else if (xml.isEndElement() && xml.name() == u"g") {
            inLegendEntry = false;
        }
    }
    summary.wellFormed = !xml.hasError();
    summary.error = xml.errorString();
    return summary;
}

int pixelsNear(const QImage& image, const QRectF& area, const QColor& color)
{
    int n = 0;
    const QRect r = area.toRect().adjusted(1, 1, -1, -1);
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - color.red()) <= 8 && std::abs(c.green() - color.green()) <= 8 &&
                std::abs(c.blue() - color.blue()) <= 8)
                ++n;
        }
    }
    return n;
}

} // namespace

class TestPlotLayout : public QObject {
    Q_OBJECT
private slots:
    void pngHasTheSizeAndTheSeriesColours_data();
    void pngHasTheSizeAndTheSeriesColours();
    void svgBreaksLinesAtGaps_data();
    void svgBreaksLinesAtGaps();
    void svgWithoutRecords();
    void envelopeOfTheRecords_data();
    void envelopeOfTheRecords();
    void coloursAreDistinct();
    void valueTicksCoverTheRange_data();
    void valueTicksCoverTheRange();
};

void TestPlotLayout::pngHasTheSizeAndTheSeriesColours_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QStringList>("names"); // the legend's, "" for a number
    QTest::newRow("default") << QSize(1200, 600) << QStringList();
    QTest::newRow("smallest") << PlotLayout::MinimumSize << QStringList();
    QTest::newRow("tall") << QSize(640, 1000) << QStringList();
    QTest::newRow("named") << QSize(1200, 600)
                           << QStringList{"Garage (loft)", "Boiler room, north wall",   "",
                                          "WWWWMMMM@@@@",  "K\u00fchlraum \u2013 Nord", "\u6e29\u5ba4"};
    QTest::newRow("a name wider than a third")
        << PlotLayout::MinimumSize << QStringList{QString(100, QLatin1Char('W')), "Cellar"};
}

void TestPlotLayout::pngHasTheSizeAndTheSeriesColours()
{
    QFETCH(QSize, size);
    QFETCH(QStringList, names);
    // The first two periods: the day-long pause before the second run would squeeze them to slivers.
    const StandardLog log = standardLog();
    const PlotScene scene = PlotLayout::layout(log.periods.at(0) + log.periods.at(1), size,
                                               QStringLiteral("run.log"), LogRuns::DefaultGapFactor, names);
    const QImage image = PngRenderer::render(scene);
    QCOMPARE(image.size(), size);
    // Each name whole, or cut with an ellipsis where it is wider than a third of the picture; in the
    // font the PNG is drawn in, no label is wider than the layout reckons nor reaches past the edge.
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(PlotLayout::FontPixels);
    const QFontMetricsF metrics(font);
    for (const PlotLegendEntry& entry : scene.legend) {
        const QString name = names.value(entry.sensor - 1);
        const QString& label = entry.label.text;
        if (name.isEmpty())
            QCOMPARE(label, QString::number(entry.sensor));
        else if (label != name)
            QVERIFY2(label.endsWith(QChar(0x2026)) && name.startsWith(label.chopped(1)) &&
                         PlotLayout::textWidth(name) > size.width() / 3.0 - 40,
                     qPrintable(label));
        QVERIFY2(metrics.horizontalAdvance(label) <= PlotLayout::textWidth(label), qPrintable(label));
        QVERIFY2(entry.label.at.x() + PlotLayout::textWidth(label) <= size.width(), qPrintable(label));
    }
    // The legend lies outside the plot area, so colour inside it comes from the lines.
    QVERIFY(!scene.plotArea.intersects(scene.legend.first().swatch));
    for (const int sensor : {1, 2, 5, 12, 13}) {
        const int n = pixelsNear(image, scene.plotArea, PngRenderer::color(PlotLayout::sensorColor(sensor)));
        QVERIFY2(n > 20, qPrintable(QStringLiteral("sensor %1: %2 pixels").arg(sensor).arg(n)));
    }
    const int background = pixelsNear(image, scene.plotArea, PngRenderer::color(PlotLayout::background()));
    QVERIFY(background > scene.plotArea.width() * scene.plotArea.height() / 4);
}

void TestPlotLayout::svgBreaksLinesAtGaps_data()
{
    QTest::addColumn<bool>("laterRunFirst");
    QTest::newRow("runs in time order") << false;
    QTest::newRow("later run appended first") << true;
}

void TestPlotLayout::svgBreaksLinesAtGaps()
{
    QFETCH(bool, laterRunFirst);
    StandardLog log = standardLog();
    if (laterRunFirst)
        log.periods.move(2, 0);
    // Extremes on round values, where the value axis's ticks would put them on the frame.
    log.periods[0][1].readings[0] = -20.0f;
    log.periods[0][2].readings[0] = 100.0f;
    // The title goes into the document as text and must not break it.
    const PlotScene scene = PlotLayout::layout(log.all(), QSize(900, 500), QStringLiteral("a<b & \"c\".log"));
    const SvgSummary svg = readSvg(SvgRenderer::render(scene));
    QVERIFY2(svg.wellFormed, qPrintable(svg.error));
    QCOMPARE(svg.size, QSize(900, 500));
    QStringList numbers;
    for (int i = 1; i <= 13; ++i)
        numbers << QString::number(i);
    QCOMPARE(svg.legendLabels, numbers);

    // Each sensor has exactly one line per period, covering that period and nothing more.
    QCOMPARE(svg.runs.size(), 13 * log.periods.size());
    for (const SvgRun& run : svg.runs) {
        QVERIFY(run.sensor >= 1 && run.sensor <= 13);
        const auto period = std::find_if(log.periods.begin(), log.periods.end(), [&](const auto& p) {
            return CsvExport::timestamp(p.first().when) == run.from;
        });
        QVERIFY2(period != log.periods.end(), qPrintable(run.from));
        QCOMPARE(run.to, CsvExport::timestamp(period->last().when));
        QCOMPARE(run.records, period->size());
        QCOMPARE(run.points, period->size());
    }
    // The lowest and highest readings lie inside the frame, not on it.
    for (const PlotLine& line : scene.lines)
        for (const QPointF& point : line.points)
            QVERIFY(point.y() > scene.plotArea.top() && point.y() < scene.plotArea.bottom());
}

void TestPlotLayout::svgWithoutRecords()
{
    const PlotScene scene = PlotLayout::layout({}, QSize(1200, 600), QStringLiteral("empty.log"));
    QVERIFY(scene.lines.isEmpty());
    const QByteArray bytes = SvgRenderer::render(scene);
    const SvgSummary svg = readSvg(bytes);
    QVERIFY2(svg.wellFormed, qPrintable(svg.error));
    QCOMPARE(svg.legendLabels.size(), 13);
    QVERIFY(svg.runs.isEmpty());
    QVERIFY(bytes.contains("No records"));
}

void TestPlotLayout::envelopeOfTheRecords_data()
{
    QTest::addColumn<QList<LogRecord>>("records");
    QTest::addColumn<bool>("sparse"); // at most one record a pixel column
    const QDateTime start(QDate(2007, 3, 14), QTime(22, 5, 42));
    // A record every 10 minutes for 10 hours in a plot of 1,066 columns: one record a column at most.
    const QList<LogRecord> sparse = sweeps(start, 60, 600, 0);
    QList<LogRecord> twoPeriods = sparse.mid(0, 30) + sweeps(start.addSecs(30 * 600 + 4 * 3600), 30, 600, 5);
    QTest::newRow("sparse, one period") << sparse << true;
    QTest::newRow("sparse, a gap") << twoPeriods << true;
    QTest::newRow("sparse, three sensors then thirteen")
        << (sweeps(start, 20, 600, 0, 3) + sweeps(start.addSecs(20 * 600), 20, 600, 0)) << true;
    // A record every 10 s for a week: about 570 records a column.
    QList<LogRecord> dense = sweeps(start, 60480, 10, 0);
    dense.remove(30000, 2000); // logging off for five and a half hours
    QTest::newRow("a week, a gap") << dense << false;
}

// The envelope that a long log is drawn as: where every record has a column of its own it is the very plot
// of the records; where columns hold many, each line stays within its sensor's range, one point a column
// at most for each of lowest, highest and last, and a gap still ends a line.
void TestPlotLayout::envelopeOfTheRecords()
{
    QFETCH(QList<LogRecord>, records);
    QFETCH(bool, sparse);
    const QSize size(1200, 600);
    PlotEnvelope envelope(PlotLayout::columns(size), 0);
    for (const LogRecord& r : records)
        envelope.add(r);
    const PlotScene scene = PlotLayout::layout(envelope, size, QStringLiteral("log"));
    const PlotScene points = PlotLayout::layout(records, size, QStringLiteral("log"));
    QCOMPARE(scene.texts.size(), points.texts.size());
    QCOMPARE(scene.gridLines, points.gridLines);
    QCOMPARE(scene.lines.size(), points.lines.size());
    for (qsizetype i = 0; i < scene.lines.size(); ++i) {
        // The envelope lists a sensor's lines in time order, the points in the order of the runs.
        const PlotLine& e = scene.lines.at(i);
        const auto p = std::find_if(points.lines.begin(), points.lines.end(), [&](const PlotLine& l) {
            return l.sensor == e.sensor && l.from == e.from;
        });
        QVERIFY(p != points.lines.end());
        QCOMPARE(e.to, p->to);
        QCOMPARE(e.records, p->records);
        if (sparse) {
            QCOMPARE(e.points, p->points);
            continue;
        }
        QVERIFY(e.points.size() <= 3 * PlotLayout::columns(size));
        QVERIFY(e.points.size() < p->points.size() / 10);
        const auto [low, high] = std::minmax_element(p->points.begin(), p->points.end(),
                                                     [](QPointF a, QPointF b) { return a.y() < b.y(); });
        const auto [elow, ehigh] = std::minmax_element(e.points.begin(), e.points.end(),
                                                       [](QPointF a, QPointF b) { return a.y() < b.y(); });
        QCOMPARE(elow->y(), low->y());
        QCOMPARE(ehigh->y(), high->y());
    }
    if (sparse) {
        QCOMPARE(SvgRenderer::render(scene), SvgRenderer::render(points));
        return;
    }
    // The PNG draws the envelope by columns: the last sensor's (drawn on top) is in every column of its
    // runs, and in none of the gap between them.
    const QImage image = PngRenderer::render(scene);
    const QColor top = PngRenderer::color(PlotLayout::sensorColor(13));
    const auto inColumn = [&](int x) {
        for (int y = int(scene.plotArea.top()); y <= int(scene.plotArea.bottom()); ++y)
            if (image.pixelColor(x, y) == top)
                return true;
        return false;
    };
    double before = scene.plotArea.left();
    for (const PlotLine& line : scene.lines) {
        if (line.sensor != 13)
            continue;
        for (int x = int(before) + 2; x < int(line.points.constFirst().x()) - 1; ++x)
            QVERIFY2(!inColumn(x), qPrintable(QString::number(x)));
        // The plot area's frame is drawn over its first and last column.
        for (int x = int(line.points.constFirst().x()) + 1; x < int(line.points.constLast().x()); ++x)
            QVERIFY2(inColumn(x), qPrintable(QString::number(x)));
        before = line.points.constLast().x();
    }
}

void TestPlotLayout::coloursAreDistinct()
{
    for (int a = 1; a <= 13; ++a) {
        for (int b = a + 1; b <= 13; ++b) {
            const QColor ca = PngRenderer::color(PlotLayout::sensorColor(a));
            const QColor cb = PngRenderer::color(PlotLayout::sensorColor(b));
            const int distance = std::abs(ca.red() - cb.red()) + std::abs(ca.green() - cb.green()) +
                                 std::abs(ca.blue() - cb.blue());
            QVERIFY2(distance > 60, qPrintable(QStringLiteral("sensors %1 and %2").arg(a).arg(b)));
            // Two strong colours of one hue read as one unless one is clearly darker.
            const int hue = std::abs(ca.hsvHue() - cb.hsvHue());
            const bool strong = ca.hsvSaturationF() > 0.25 && cb.hsvSaturationF() > 0.25;
            QVERIFY2(!strong || std::min(hue, 360 - hue) >= 15 || std::abs(ca.valueF() - cb.valueF()) >= 0.2,
                     qPrintable(QStringLiteral("sensors %1 and %2 look alike").arg(a).arg(b)));
        }
        QVERIFY(PlotLayout::sensorColor(a) != PlotLayout::background());
    }
    // Beyond the palette the layout converts hues itself, as QColor did when the layout used it.
    for (int sensor = 14; sensor <= 100; ++sensor) {
        const QColor qt =
            QColor::fromHsv(int(std::lround(std::fmod(sensor * 137.508, 360.0))) % 360, 200, 190);
        QCOMPARE(PlotLayout::sensorColor(sensor).name(), qt.name());
    }
}

void TestPlotLayout::valueTicksCoverTheRange_data()
{
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::newRow("room") << 16.0 << 27.375;
    QTest::newRow("sensor range") << -55.0 << 125.0;
    QTest::newRow("one value") << 21.0 << 21.0;
    QTest::newRow("zero") << 0.0 << 0.0;
    QTest::newRow("one step") << 21.0 << 21.0625;
    QTest::newRow("huge") << -3.4e38 << 3.4e38;
}

void TestPlotLayout::valueTicksCoverTheRange()
{
    QFETCH(double, low);
    QFETCH(double, high);
    const QList<double> ticks = PlotLayout::valueTicks(low, high, 8);
    QVERIFY(ticks.size() >= 2);
    QVERIFY(ticks.size() <= 12);
    QVERIFY(ticks.first() <= low);
    QVERIFY(ticks.last() >= high);
    const double step = ticks.at(1) - ticks.at(0);
    QVERIFY(step > 0);
    for (qsizetype i = 1; i < ticks.size(); ++i)
        QVERIFY(qFuzzyCompare(ticks.at(i) - ticks.at(i - 1), step));
}

QTEST_MAIN(TestPlotLayout)
#include "tst_plotlayout.moc"
