#include "htmldocument.h"

#include "pagefeed.h"
#include "pagerenderer.h"
#include "tagattributes.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <climits>
#include <cstring>

namespace quorvel::acquisition {

namespace {

bool isAsciiWhitespace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f';
}

// Only ASCII whitespace, as a browser does for option labels: a no-break space stays.
QString collapseWhitespace(const QString& text)
{
    QString out;
    out.reserve(text.size());
    bool pendingBlank = false;
    for (const QChar c : text) {
        if (isAsciiWhitespace(c)) {
            pendingBlank = !out.isEmpty();
            continue;
        }
        if (pendingBlank)
            out += u' ';
        pendingBlank = false;
        out += c;
    }
    return out;
}

// The parser keeps the newline that follows <textarea>; a browser drops it from the value.
QString textareaValue(QByteArrayView utf8)
{
    QString text = QString::fromUtf8(utf8);
    if (text.startsWith(u"\r\n"))
        text.remove(0, 2);
    else if (text.startsWith(u'\n'))
        text.remove(0, 1);
    return text;
}

} // namespace

// Reads a page from the parser's events in one pass, without a tree: building one cost more than the
// parse itself on a page of many small elements. The events nest as the tree would; for each element
// with an id it keeps what a lookup gives (a control's value needs the element's text and, for a select,
// its options), and it renders the page's first part.
class PageReader {
public:
    using Element = HtmlDocument::Element;
    using ValueKind = HtmlDocument::ValueKind;

    // Without a body, nothing is rendered.
    PageReader(std::vector<Element>& elements, QByteArray& bytes, QString* body)
        : elements_(elements), bytes_(bytes), renderer_(body)
    {
    }

    static void install(xmlSAXHandler* sax)
    {
        std::memset(sax, 0, sizeof(xmlSAXHandlerV1));
        sax->initialized = 1;
        sax->startElement = [](void* ctx, const xmlChar* name, const xmlChar** atts) {
            self(ctx).startElement(static_cast<xmlParserCtxtPtr>(ctx), name, TagAttributes(atts));
        };
        sax->endElement = [](void* ctx, const xmlChar*) {
            self(ctx).endElement(static_cast<xmlParserCtxtPtr>(ctx));
        };
        sax->characters = [](void* ctx, const xmlChar* ch, int len) {
            self(ctx).text(static_cast<xmlParserCtxtPtr>(ctx), ch, len, true);
        };
        // Script and style content: part of an element's text, never shown.
        sax->cdataBlock = [](void* ctx, const xmlChar* ch, int len) {
            self(ctx).text(static_cast<xmlParserCtxtPtr>(ctx), ch, len, false);
        };
        // What the tree builder does with ignorable whitespace: nothing.
    }

    // Closes what is still open, as the end of the page does.
    void finish()
    {
        closeTo(0);
        renderer_.finish();
    }

private:
    enum class Kind : unsigned char { Other, Input, Button, Textarea, Select, Option };

    struct Open {
        const xmlChar* name = nullptr;
        Kind kind = Kind::Other;
        bool tagShown = false;
        bool control = false;     // shown once it ends
        bool hides = false;       // nothing inside it is shown
        qsizetype element = -1;   // index in elements_ still waiting for its value
        qsizetype textBegin = -1; // where its text starts in text_, when it is collected
        qsizetype select = -1;    // index in selects_
        qsizetype option = -1;    // index in options_ of the value a select takes from it
        bool optionHasValue = false;
        QByteArray optionValue;
    };

    // A select whose value or label is needed: the option it takes, the first selected or else the
    // first one, in document order.
    struct SelectState {
        qsizetype chosen = -1; // index in options_
        bool final = false;
    };

    struct OptionResult {
        QByteArray value;
        bool collapse = false;
        QByteArray label;
    };

    static PageReader& self(void* ctx)
    {
        return *static_cast<PageReader*>(static_cast<xmlParserCtxtPtr>(ctx)->_private);
    }

    // The parser gives element names in lower case.
    static Kind kindOf(const xmlChar* name)
    {
        const char* n = reinterpret_cast<const char*>(name);
        switch (n[0]) {
        case 'i':
            return std::strcmp(n, "input") == 0 ? Kind::Input : Kind::Other;
        case 'b':
            return std::strcmp(n, "button") == 0 ? Kind::Button : Kind::Other;
        case 't':
            return std::strcmp(n, "textarea") == 0 ? Kind::Textarea : Kind::Other;
        case 's':
            return std::strcmp(n, "select") == 0 ? Kind::Select : Kind::Other;
        case 'o':
            return std::strcmp(n, "option") == 0 ? Kind::Option : Kind::Other;
        default:
            return Kind::Other;
        }
    }

    // The parser closes an element without an end event when its start tag has no '>': the element ends
    // where the parser's own count of open elements says.
    void closeTo(qsizetype open)
    {
        while (std::ssize(open_) > open)
            close();
    }

    void startElement(xmlParserCtxtPtr ctxt, const xmlChar* name, const TagAttributes& atts)
    {
        if (halted_)
            return;
        closeTo(ctxt->nameNr - 1);
        // The tree builder stops the whole parse below this depth; so does this reader, or the parser's
        // search of its open elements for each end tag would make a deeply nested page quadratic.
        if (std::ssize(open_) > static_cast<qsizetype>(xmlParserMaxDepth)) {
            halted_ = true;
            xmlStopParser(ctxt);
            return;
        }
        Open open;
        open.name = name;
        open.kind = kindOf(name);
        if (const auto id = atts.value("id"))
            open.element = addElement(*id, open.kind, atts);

        // Once the rendering has stopped, nothing more is shown and no element needs a look-up.
        const Render render = renderer_.stopped() ? Render::Transparent : renderOf(name);
        if (hiding_ == 0) {
            switch (renderer_.open(name, atts, render)) {
            case PageRenderer::Opened::Tag:
                open.tagShown = true;
                break;
            case PageRenderer::Opened::Control:
                open.control = true;
                if (open.kind == Kind::Input)
                    renderer_.appendControl(renderInput(atts));
                break;
            case PageRenderer::Opened::Nothing:
                break;
            }
        }
        open.hides = open.control || render == Render::Drop;
        hiding_ += open.hides ? 1 : 0;

        if (open.kind == Kind::Option)
            startOption(open, atts);
        if (open.kind == Kind::Select && (open.element >= 0 || open.control)) {
            open.select = std::ssize(selects_);
            selects_.push_back({});
            needFirst_.push_back(open.select);
            needSelected_.push_back(open.select);
        }
        const bool needsText = open.option >= 0 ||
                               (open.kind == Kind::Option && open.element >= 0 && !open.optionHasValue) ||
                               (open.kind == Kind::Textarea && (open.element >= 0 || open.control)) ||
                               (open.kind == Kind::Button && open.control);
        if (needsText) {
            open.textBegin = text_.size();
            ++collecting_;
        }
        open_.push_back(std::move(open));
    }

    void endElement(xmlParserCtxtPtr ctxt)
    {
        if (halted_)
            return;
        closeTo(ctxt->nameNr);
        if (std::ssize(open_) == ctxt->nameNr && !open_.empty())
            close();
    }

    void text(xmlParserCtxtPtr ctxt, const xmlChar* ch, int len, bool shown)
    {
        if (halted_)
            return;
        closeTo(ctxt->nameNr);
        // The tree builder drops text outside every element.
        if (open_.empty() || len <= 0)
            return;
        const QByteArrayView bytes(reinterpret_cast<const char*>(ch), len);
        if (collecting_ > 0)
            text_ += bytes;
        if (shown && hiding_ == 0 && !renderer_.stopped())
            renderer_.appendText(QString::fromUtf8(bytes));
    }

    qsizetype addElement(QByteArrayView id, Kind kind, const TagAttributes& atts)
    {
        Element element;
        element.idBegin = bytes_.size();
        element.idSize = id.size();
        bytes_ += id;
        const qsizetype index = std::ssize(elements_);
        elements_.push_back(element);
        switch (kind) {
        case Kind::Input:
        case Kind::Button:
            setValue(index, atts.value("value").value_or(QByteArrayView()), ValueKind::Plain);
            return -1;
        case Kind::Option:
            if (const auto value = atts.value("value")) {
                setValue(index, *value, ValueKind::Plain);
                return -1;
            }
            return index;
        case Kind::Textarea:
        case Kind::Select:
            return index;
        case Kind::Other:
            return -1;
        }
        return -1;
    }

    void setValue(qsizetype index, QByteArrayView value, ValueKind kind)
    {
        Element& element = elements_[static_cast<std::size_t>(index)];
        element.valueBegin = bytes_.size();
        element.valueSize = value.size();
        element.kind = kind;
        bytes_ += value;
    }

    // Every select still open that has no option yet takes this one as its first; every one without a
    // selected option takes a selected one.
    void startOption(Open& open, const TagAttributes& atts)
    {
        if (const auto value = atts.value("value")) {
            open.optionHasValue = true;
            open.optionValue = value->toByteArray();
        }
        const bool selected = atts.has("selected");
        if (needFirst_.empty() && !(selected && !needSelected_.empty()))
            return;
        open.option = std::ssize(options_);
        options_.emplace_back();
        for (const qsizetype select : needFirst_)
            selects_[static_cast<std::size_t>(select)].chosen = open.option;
        needFirst_.clear();
        if (selected) {
            for (const qsizetype select : needSelected_) {
                selects_[static_cast<std::size_t>(select)].chosen = open.option;
                selects_[static_cast<std::size_t>(select)].final = true;
            }
            needSelected_.clear();
        }
    }

    void close()
    {
        Open open = std::move(open_.back());
        open_.pop_back();
        const QByteArrayView text =
            open.textBegin >= 0 ? QByteArrayView(text_).sliced(open.textBegin) : QByteArrayView();
        switch (open.kind) {
        case Kind::Textarea:
            if (open.element >= 0)
                setValue(open.element, text, ValueKind::Textarea);
            if (open.control)
                renderer_.appendControl(
                    tooLongToShow(text)
                        ? std::nullopt
                        : std::optional(
                              bracketed(textareaValue(text)).replace(u'\n', QStringLiteral("<br>"))));
            break;
        case Kind::Button:
            if (open.control)
                renderer_.appendControl(labelControl(text));
            break;
        case Kind::Option:
            if (open.element >= 0)
                setValue(open.element, text, ValueKind::Collapsed);
            if (open.option >= 0) {
                OptionResult& result = options_[static_cast<std::size_t>(open.option)];
                result.collapse = !open.optionHasValue;
                result.value = open.optionHasValue ? open.optionValue : text.toByteArray();
                result.label = text.toByteArray();
            }
            break;
        case Kind::Select:
            if (open.select >= 0)
                closeSelect(open);
            break;
        default:
            break;
        }
        if (open.textBegin >= 0 && --collecting_ == 0)
            text_.clear();
        hiding_ -= open.hides ? 1 : 0;
        if (open.tagShown)
            renderer_.closeTag(open.name);
    }

    static std::optional<QString> labelControl(QByteArrayView label)
    {
        if (tooLongToShow(label))
            return std::nullopt;
        return bracketed(collapseWhitespace(QString::fromUtf8(label)));
    }

    void closeSelect(const Open& open)
    {
        const SelectState state = selects_[static_cast<std::size_t>(open.select)];
        selects_.pop_back();
        if (!needFirst_.empty() && needFirst_.back() == open.select)
            needFirst_.pop_back();
        if (!needSelected_.empty() && needSelected_.back() == open.select)
            needSelected_.pop_back();
        const OptionResult none;
        const OptionResult& chosen =
            state.chosen >= 0 ? options_[static_cast<std::size_t>(state.chosen)] : none;
        if (open.element >= 0)
            setValue(open.element, chosen.value, chosen.collapse ? ValueKind::Collapsed : ValueKind::Plain);
        if (open.control)
            renderer_.appendControl(labelControl(chosen.label));
        if (selects_.empty())
            options_.clear();
    }

    std::vector<Element>& elements_;
    QByteArray& bytes_;
    PageRenderer renderer_;
    std::vector<Open> open_;
    qsizetype hiding_ = 0;     // open controls and dropped elements: nothing inside them is shown
    qsizetype collecting_ = 0; // open elements whose text is needed
    QByteArray text_;          // their text, from the outermost one's start
    std::vector<SelectState> selects_;
    std::vector<qsizetype> needFirst_;
    std::vector<qsizetype> needSelected_;
    std::vector<OptionResult> options_;
    bool halted_ = false;
};

HtmlDocument::HtmlDocument() = default;
HtmlDocument::~HtmlDocument() = default;
HtmlDocument::HtmlDocument(HtmlDocument&&) noexcept = default;
HtmlDocument& HtmlDocument::operator=(HtmlDocument&&) noexcept = default;

HtmlDocument::HtmlDocument(QByteArray html, const QByteArray& charset, std::chrono::milliseconds readBudget,
                           Rendering rendering)
{
    if (html.isEmpty() || html.size() > INT_MAX)
        return;
    QString body;
    const bool ahead = rendering == Rendering::Ahead;
    PageFeed feed(html, charset, readBudget);
    PageReader reader(elements_, bytes_, ahead ? &body : nullptr);
    if (!feed.parse(&PageReader::install, &reader))
        return;
    // Before the feed goes: the reader still holds the parser's names of the elements left open.
    reader.finish();
    if (feed.overBudget()) {
        *this = errorPage(feed.overBudgetReason());
        return;
    }
    parsed_ = true;
    if (ahead) {
        body_ = std::move(body);
    } else {
        page_ = std::move(html);
        charset_ = charset;
    }
}

// The second pass is the first one over the same bytes, fed in the same pieces: it meets the same
// events and so renders exactly what rendering ahead would have. It has no budget, as the first pass
// already read the whole page within its own.
QString HtmlDocument::render() const
{
    QString body;
    if (!parsed_)
        return body;
    std::vector<Element> elements;
    QByteArray bytes;
    PageFeed feed(page_, charset_, std::chrono::milliseconds::max());
    PageReader reader(elements, bytes, &body);
    if (feed.parse(&PageReader::install, &reader))
        reader.finish();
    return body;
}

HtmlDocument HtmlDocument::errorPage(const QString& reason)
{
    HtmlDocument page;
    page.errorReason_ = reason;
    return page;
}

std::optional<QString> HtmlDocument::elementValue(const QString& id) const
{
    const QByteArray wanted = id.toUtf8();
    for (const Element& element : elements_) {
        if (QByteArrayView(bytes_).sliced(element.idBegin, element.idSize) != wanted)
            continue;
        const QByteArrayView value = QByteArrayView(bytes_).sliced(element.valueBegin, element.valueSize);
        switch (element.kind) {
        case ValueKind::None:
            return std::nullopt;
        case ValueKind::Plain:
            return QString::fromUtf8(value);
        case ValueKind::Collapsed:
            return collapseWhitespace(QString::fromUtf8(value));
        case ValueKind::Textarea:
            return textareaValue(value);
        }
    }
    return std::nullopt;
}

QString HtmlDocument::displayHtml() const
{
    if (!body_) {
        body_ = errorReason_ ? QStringLiteral("<h3>The page cannot be displayed</h3><p>") +
                                   errorReason_->toHtmlEscaped() + QStringLiteral("</p>")
                             : render();
        page_.clear();
    }
    return QStringLiteral("<html><body>") + *body_ + QStringLiteral("</body></html>");
}

} // namespace quorvel::acquisition
