// What one hostile page costs the window: the page's bytes through HtmlDocument (parse, the reading,
// the safe rendering) into the real PageView on the offscreen platform, laid out and painted, then
// replaced by an ordinary page. One shape per process, so each peak RSS is the shape's own. For
// comparison, afterwards: what libxml2's parse of the same bytes costs alone, with no handler at all.

#include "acquisition/htmldocument.h"
#include "hostilepages.h"
#include "mainwindow/pageview.h"
#include "processprobe.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QPixmap>
#include <QTextDocument>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <optional>

using namespace quorvel;

namespace {

const QByteArray OrdinaryPage =
    "<HTML><HEAD><TITLE>DS18B20 Sensor 1</TITLE></HEAD><BODY><H3>1-Wire Sensor Reading</H3>\n"
    "<FORM NAME=Reading ACTION=\"/1Wire/ReadDS18B20.html\"><TABLE BORDER=1><TR><TD>ROM<TD>9C000000B4A89828\n"
    "<TR><TD>Temperature<TD><INPUT TYPE=TEXT ID=Temperature_0 NAME=Temperature_0 VALUE=\"21.5\" SIZE=10 "
    "READONLY>\n</TABLE></FORM></BODY></HTML>\n";

struct Shown {
    std::optional<QString> value;
    bool refused = false;
    double readCpuSeconds = 0; // the parse and the reading
};

// What the window does with a loaded page, the layout and a paint of what is visible included.
Shown showPage(mainwindow::PageView& view, const QByteArray& bytes)
{
    const double start = bench::ProcessProbe::cpuSeconds();
    const acquisition::HtmlDocument document(bytes);
    Shown shown{document.elementValue(QStringLiteral("Temperature_0")), document.errorReason().has_value()};
    shown.readCpuSeconds = bench::ProcessProbe::cpuSeconds() - start;
    view.setHtml(document.displayHtml());
    (void)view.document()->size();
    (void)view.viewport()->grab();
    return shown;
}

// libxml2's pull parse of the page with the program's options and no handler, nor the reader's limits:
// the floor under what the page reader can cost. The best of three, or of fewer where one takes long.
double bareParseCpuSeconds(const QByteArray& bytes)
{
    double best = 0;
    for (int i = 0; i < 3; ++i) {
        const double start = bench::ProcessProbe::cpuSeconds();
        xmlParserCtxtPtr ctxt = xmlCreateMemoryParserCtxt(bytes.constData(), static_cast<int>(bytes.size()));
        if (ctxt == nullptr)
            return 0;
        std::memset(ctxt->sax, 0, sizeof(xmlSAXHandlerV1));
        ctxt->sax->initialized = 1;
        htmlCtxtUseOptions(ctxt,
                           HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
        ctxt->html = 1;
        htmlParseDocument(ctxt);
        if (ctxt->myDoc != nullptr)
            xmlFreeDoc(ctxt->myDoc);
        xmlFreeParserCtxt(ctxt);
        const double spent = bench::ProcessProbe::cpuSeconds() - start;
        best = i == 0 ? spent : std::min(best, spent);
        if (spent > 1.0)
            break;
    }
    return best;
}

// Forgets the peak so far, so the next VmHWM is the peak from here on; false where the kernel says no.
bool resetPeakRss()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption shapeOption(QStringLiteral("shape"), QStringLiteral("The shape to measure."),
                                         QStringLiteral("NAME"));
    const QCommandLineOption listOption(QStringLiteral("list"),
                                        QStringLiteral("List the shapes, one a line."));
    const QCommandLineOption bytesOption(QStringLiteral("bytes"),
                                         QStringLiteral("Page size (default 1 MiB)."), QStringLiteral("N"),
                                         QStringLiteral("1048576"));
    parser.addOptions({shapeOption, listOption, bytesOption});
    parser.process(app);

    std::vector<testing::HostilePage> pages = testing::hostilePages(parser.value(bytesOption).toLongLong());
    if (parser.isSet(listOption)) {
        for (const testing::HostilePage& page : pages)
            std::printf("%s\n", qPrintable(page.name));
        return 0;
    }
    const auto page = std::find_if(pages.begin(), pages.end(), [&](const testing::HostilePage& p) {
        return p.name == parser.value(shapeOption);
    });
    if (page == pages.end()) {
        std::fprintf(stderr, "pagecost: needs --shape with one of the names --list prints\n");
        return 2;
    }
    const testing::HostilePage hostile = *page;
    pages.clear();

    // The size of the view in the main window.
    mainwindow::PageView view;
    view.resize(777, 305);
    view.show();
    // Warm up: fonts, glyph caches and the allocator's arenas are the window's, not the page's.
    for (int i = 0; i < 20; ++i)
        (void)showPage(view, OrdinaryPage);

    // Memory freed so far goes back to the system, so what the page takes shows as growth.
    malloc_trim(0);
    const bool peakReset = resetPeakRss();
    const long rssBefore = bench::ProcessProbe::statusKb(peakReset ? "VmRSS" : "VmHWM").value_or(0);
    const double cpuStart = bench::ProcessProbe::cpuSeconds();
    const Shown shown = showPage(view, hostile.html);
    const qsizetype shownChars = view.toPlainText().size();
    const double cpuShown = bench::ProcessProbe::cpuSeconds();
    (void)showPage(view, OrdinaryPage);
    const double cpuEnd = bench::ProcessProbe::cpuSeconds();
    const long peak = bench::ProcessProbe::statusKb("VmHWM").value_or(0);
    const double bareParse = bareParseCpuSeconds(hostile.html);

    // A refused page is right when it is refused and nothing is read from it.
    const bool readRight = hostile.refused ? shown.refused && !shown.value
                                           : shown.value == QString::fromLatin1(testing::HostileReading);
    std::printf("pagecost shape=\"%s\" bytes=%lld read_right=%d shown_chars=%lld cpu_ms_read=%.1f "
                "cpu_ms_shown=%.1f cpu_ms=%.1f cpu_ms_libxml2_alone=%.1f rss_growth_kb=%ld peak_reset=%d\n",
                qPrintable(hostile.name), static_cast<long long>(hostile.html.size()), readRight ? 1 : 0,
                static_cast<long long>(shownChars), shown.readCpuSeconds * 1000.0,
                (cpuShown - cpuStart) * 1000.0, (cpuEnd - cpuStart) * 1000.0, bareParse * 1000.0,
                peak - rssBefore, peakReset ? 1 : 0);
    return readRight ? 0 : 1;
}
