// What one hostile page costs the window: the page's bytes through HtmlDocument (parse, the reading,
// the safe rendering) into the real PageView on the offscreen platform, laid out and painted, then
// replaced by an ordinary page. One shape per process, so each peak RSS is the shape's own. For
// comparison, afterwards: what libxml2's parse of the same bytes costs alone, with no handler at all.
// Two real pages are measured the same way, to show how far below the read budget an adapter's pages
// are read: the simulator's page of 2 KB and the largest an adapter shows.

#include "sources/adapter/htmldocument.h"
#include "acquisition/sensortable.h"
#include "hostilepages.h"
#include "mainwindow/pageview.h"
#include "pagebuilder.h"
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

// Every table and form an adapter shows, for 100 sensors: each sensor's reading, resolution, alarm limits
// and alarm switch in one form, then the network settings and the device's own table. Temperature_0 holds
// the reading the hostile pages hold.
QByteArray largestAdapterPage(int sensors)
{
    using adaptersim::PageBuilder;
    QByteArray out = "<HTML><HEAD><TITLE>1-Wire Adapter</TITLE><META HTTP-EQUIV=Content-Type "
                     "CONTENT=\"text/html; charset=ISO-8859-1\"></HEAD><BODY><H3>1-Wire Sensor Reading</H3>\n"
                     "<FORM NAME=Reading ACTION=\"/1Wire/ReadDS18B20.html\"><TABLE BORDER=1>\n"
                     "<TR><TH>#<TH>ROM<TH>Temperature<TH>Resolution<TH>High<TH>Low<TH>Alarm\n";
    for (int i = 0; i < sensors; ++i) {
        const QByteArray n = QByteArray::number(i);
        const QByteArray rom = QByteArray::number(0x2800000000000000ULL + 0x1000ULL * quint64(i) + 0x28, 16);
        out += "<TR><TD>" + n + "<TD>" + rom.toUpper() + "<TD><INPUT TYPE=TEXT ID=Temperature_" + n +
               " NAME=Temperature_" + n + " VALUE=\"" + PageBuilder::formatTemperature(377 - i) +
               "\" SIZE=10 READONLY><TD><SELECT NAME=Resolution_" + n +
               "><OPTION VALUE=9>9 bit<OPTION VALUE=10>10 bit<OPTION VALUE=11>11 bit<OPTION VALUE=12 "
               "SELECTED>12 bit</SELECT><TD><INPUT TYPE=TEXT NAME=High_" +
               n + " VALUE=85 SIZE=4><TD><INPUT TYPE=TEXT NAME=Low_" + n +
               " VALUE=-10 SIZE=4><TD><INPUT TYPE=CHECKBOX NAME=Alarm_" + n + " CHECKED>\n";
    }
    out += "</TABLE><INPUT TYPE=SUBMIT VALUE=Refresh></FORM>\n<H3>Network</H3>"
           "<FORM NAME=Network ACTION=\"/Network.html\" METHOD=POST><TABLE BORDER=1>\n";
    const char* const settings[][2] = {{"Host name", "adapter"},
                                       {"IP address", "127.0.0.1"},
                                       {"Subnet mask", "255.0.0.0"},
                                       {"Gateway", "127.0.0.1"},
                                       {"DNS server", "127.0.0.1"},
                                       {"HTTP port", "80"},
                                       {"MAC address", "00:00:00:00:00:00"}};
    for (const auto& setting : settings)
        out += QByteArray("<TR><TD>") + setting[0] + "<TD><INPUT TYPE=TEXT NAME=\"" + setting[0] +
               "\" VALUE=\"" + setting[1] + "\" SIZE=20>\n";
    out += "<TR><TD>DHCP<TD><INPUT TYPE=CHECKBOX NAME=DHCP><TR><TD>Password<TD><INPUT TYPE=PASSWORD "
           "NAME=Password VALUE=secret><TR><TD>Description<TD><TEXTAREA NAME=Description ROWS=3 COLS=40>"
           "Boiler room, north wall\nSecond line</TEXTAREA>\n</TABLE><INPUT TYPE=SUBMIT VALUE=Save>"
           "<INPUT TYPE=RESET></FORM>\n<H3>Device</H3><TABLE BORDER=1><TR><TD>Firmware<TD>1.0"
           "<TR><TD>Serial number<TD>0001<TR><TD>Up time<TD>12 days 03:04:05<TR><TD>Sensors<TD>" +
           QByteArray::number(sensors) + "\n</TABLE></BODY></HTML>\n";
    return out;
}

// What a page must come to: refused, read, or either, as this machine's speed has it.
enum class Expected { Refused, Read, Either };

struct Measured {
    testing::HostilePage page;
    Expected expected = Expected::Either;
};

// The hostile shapes and the two real pages, by name.
std::vector<Measured> pagesToMeasure(qsizetype bytes)
{
    std::vector<Measured> pages;
    for (testing::HostilePage& page : testing::hostilePages(bytes))
        pages.push_back({page, page.refused ? Expected::Refused : Expected::Either});
    const QByteArray rom(acquisition::RomCodes[0].data(), qsizetype(acquisition::RomCodes[0].size()));
    const QByteArray adapterPage =
        adaptersim::PageBuilder::padded(adaptersim::PageBuilder::readingPage(1, rom, 377), 2048);
    pages.push_back({{QStringLiteral("adapter page"), adapterPage}, Expected::Read});
    pages.push_back({{QStringLiteral("largest adapter page"), largestAdapterPage(100)}, Expected::Read});
    return pages;
}

// The window's view asks for every page's rendering, so its page component renders ahead, within the
// read budget: the dearer reading, and the one each page's share of the budget is given for.
acquisition::HtmlDocument readAsShown(const QByteArray& bytes)
{
    return acquisition::HtmlDocument(bytes, {}, acquisition::HtmlDocument::ReadBudget,
                                     acquisition::HtmlDocument::Rendering::Ahead);
}

struct Shown {
    std::optional<QString> value;
    bool refused = false;
    double readCpuSeconds = 0; // the parse and the reading
};

// What the window does with a loaded page, the layout and a paint of what is visible included.
Shown showPage(mainwindow::PageView& view, const QByteArray& bytes)
{
    const double start = bench::ProcessProbe::cpuSeconds();
    const acquisition::HtmlDocument document = readAsShown(bytes);
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

    std::vector<Measured> pages = pagesToMeasure(parser.value(bytesOption).toLongLong());
    if (parser.isSet(listOption)) {
        for (const Measured& page : pages)
            std::printf("%s\n", qPrintable(page.page.name));
        return 0;
    }
    const auto page = std::find_if(pages.begin(), pages.end(), [&](const Measured& p) {
        return p.page.name == parser.value(shapeOption);
    });
    if (page == pages.end()) {
        std::fprintf(stderr, "pagecost: needs --shape with one of the names --list prints\n");
        return 2;
    }
    const testing::HostilePage hostile = page->page;
    const Expected expected = page->expected;
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

    // A refused page is right when nothing is read from it, a read one when its reading came out.
    const bool readRight = shown.refused ? !shown.value && expected != Expected::Read
                                         : expected != Expected::Refused &&
                                               shown.value == QString::fromLatin1(testing::HostileReading);
    // The worst of many reads, for a page far below the budget: the one read above may have been lucky.
    double worstReadMs = shown.readCpuSeconds * 1000.0;
    if (hostile.html.size() <= 256 * 1024) {
        for (int i = 0; i < 200; ++i) {
            const double start = bench::ProcessProbe::cpuSeconds();
            (void)readAsShown(hostile.html);
            worstReadMs = std::max(worstReadMs, (bench::ProcessProbe::cpuSeconds() - start) * 1000.0);
        }
    }
    const double budgetMs = double(acquisition::HtmlDocument::ReadBudget.count());
    std::printf("pagecost shape=\"%s\" bytes=%lld outcome=%s read_right=%d shown_chars=%lld cpu_ms_read=%.3f "
                "cpu_ms_read_worst=%.3f budget_ms=%.0f budget_share_pct=%.2f cpu_ms_shown=%.1f cpu_ms=%.1f "
                "cpu_ms_libxml2_alone=%.1f rss_growth_kb=%ld peak_reset=%d\n",
                qPrintable(hostile.name), static_cast<long long>(hostile.html.size()),
                shown.refused ? "refused" : "read", readRight ? 1 : 0, static_cast<long long>(shownChars),
                shown.readCpuSeconds * 1000.0, worstReadMs, budgetMs, 100.0 * worstReadMs / budgetMs,
                (cpuShown - cpuStart) * 1000.0, (cpuEnd - cpuStart) * 1000.0, bareParse * 1000.0,
                peak - rssBefore, peakReset ? 1 : 0);
    return readRight ? 0 : 1;
}
