#include "pagefeed.h"

#include <libxml/HTMLparser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <cstring>
#include <ctime>

namespace quorvel::acquisition {

namespace {

void initParserOnce()
{
    static const bool initialised = [] {
        xmlInitParser();
        return true;
    }();
    (void)initialised;
}

std::chrono::nanoseconds threadCpuTime()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// The parser asks for about 4,000 bytes at a time; more is never handed over, whatever it asks. An
// adapter's page of a kilobyte or two comes in one piece.
constexpr qsizetype Piece = 4096;

// Where a piece ends matters to this libxml2, which reads a character reference cut by a piece's end in a
// long attribute value as text: after the last '>' of the piece's second half, where every construct is
// whole; without one, at the latest point with no '&' in the three bytes before it, which this libxml2
// reads ahead of the bytes it has when it meets a reference. Only pages made of such runs are cut anywhere.
qsizetype pieceEnd(QByteArrayView piece)
{
    const qsizetype tagEnd = piece.lastIndexOf('>');
    if (tagEnd >= piece.size() / 2)
        return tagEnd + 1;
    constexpr qsizetype Lookahead = 3;
    constexpr qsizetype Search = 64;
    for (qsizetype end = piece.size(); end > Lookahead && end > piece.size() - Search; --end) {
        if (!piece.sliced(end - Lookahead, Lookahead).contains('&'))
            return end;
    }
    return piece.size();
}

// A page whose first bytes show an encoding other than UTF-8 (a UTF-16 or UCS-4 byte order mark, say)
// is read in that encoding to its end: a <meta> charset further on changes nothing. That is how the
// parser reads such a page handed over whole, as it decodes all of it at once; handed over in pieces it
// would decode the pieces after the <meta> with the charset the <meta> names.
void keepEncodingOfFirstBytes(xmlParserCtxtPtr ctxt, QByteArrayView html)
{
    if (html.size() < 4 || ctxt->input->encoding != nullptr)
        return;
    const xmlCharEncoding detected =
        xmlDetectCharEncoding(reinterpret_cast<const unsigned char*>(html.data()), 4);
    if (detected == XML_CHAR_ENCODING_NONE || detected == XML_CHAR_ENCODING_UTF8)
        return;
    if (const char* name = xmlGetCharEncodingName(detected))
        ctxt->input->encoding = xmlStrdup(BAD_CAST name);
}

} // namespace

PageFeed::PageFeed(QByteArrayView page, const QByteArray& charset, std::chrono::milliseconds budget)
    : page_(page), charset_(charset.trimmed()), budget_(budget), start_(threadCpuTime())
{
}

PageFeed::~PageFeed()
{
    if (ctxt_ == nullptr)
        return;
    if (ctxt_->myDoc != nullptr)
        xmlFreeDoc(ctxt_->myDoc);
    xmlFreeParserCtxt(ctxt_);
}

std::chrono::nanoseconds PageFeed::spent() const
{
    return threadCpuTime() - start_;
}

QString PageFeed::overBudgetReason() const
{
    return QStringLiteral("The page takes more than %1 ms to read, so it is not read").arg(budget_.count());
}

bool PageFeed::parse(void (*install)(xmlSAXHandler*), void* handlers)
{
    initParserOnce();
    // Without HTML_PARSE_HUGE on purpose: the reader stops where the parser's depth limit of 256 open
    // elements would, which is what keeps the parse linear: each end tag is looked up in the stack of
    // open elements, so with no limit a page of 70,000 nested elements and as many stray end tags takes
    // seconds. The price is that the parse stops at the 257th level and the rest of such a page is not
    // read; no adapter nests that deep. Its other limit, 10 MB of text in one node, lies far beyond the
    // 1 MiB the page component accepts.
    constexpr int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET;
    // What htmlReadMemory does, with the given handlers in place of the tree builder and the page fed in
    // pieces. Its parser context is the generic one, which detects UTF-8 without a declared charset; the
    // HTML one does not.
    ctxt_ = xmlCreateIOParserCtxt(nullptr, nullptr, &PageFeed::read, nullptr, this, XML_CHAR_ENCODING_NONE);
    if (ctxt_ == nullptr)
        return false;
    install(ctxt_->sax);
    htmlCtxtUseOptions(ctxt_, options);
    ctxt_->html = 1;
    ctxt_->_private = handlers;
    if (!charset_.isEmpty()) {
        if (xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(charset_.constData())) {
            xmlSwitchToEncoding(ctxt_, handler);
            xmlFree(const_cast<xmlChar*>(ctxt_->input->encoding));
            ctxt_->input->encoding = xmlStrdup(BAD_CAST charset_.constData());
        }
    }
    keepEncodingOfFirstBytes(ctxt_, page_);
    htmlParseDocument(ctxt_);
    return true;
}

// The parser calls this whenever it wants more bytes, inside a tag or a text as well as between them, so a
// page is stopped within a piece's work of the budget, whatever its shape. Once this says the page has
// ended, the parser asks no more.
int PageFeed::read(void* context, char* buffer, int length)
{
    auto& feed = *static_cast<PageFeed*>(context);
    const QByteArrayView rest = feed.page_.sliced(feed.offset_);
    if (rest.isEmpty())
        return 0;
    // The first piece is always read: a page that fits in one is never refused, however slow the machine.
    // In whole milliseconds, the budget's unit, so any budget compares without overflow.
    if (feed.offset_ > 0 &&
        std::chrono::duration_cast<std::chrono::milliseconds>(feed.spent()) >= feed.budget_) {
        feed.overBudget_ = true;
        return 0;
    }
    qsizetype size = std::min({static_cast<qsizetype>(length), Piece, rest.size()});
    if (size < rest.size())
        size = pieceEnd(rest.first(size));
    std::memcpy(buffer, rest.data(), static_cast<std::size_t>(size));
    feed.offset_ += size;
    return static_cast<int>(size);
}

} // namespace quorvel::acquisition
