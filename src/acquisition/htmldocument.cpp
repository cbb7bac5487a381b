#include "acquisition/htmldocument.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <iterator>

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

QByteArrayView bytesOf(const xmlChar* text)
{
    return text != nullptr ? QByteArrayView(reinterpret_cast<const char*>(text)) : QByteArrayView();
}

bool nameIs(const xmlChar* name, const char* wanted)
{
    return name != nullptr && xmlStrcasecmp(name, BAD_CAST wanted) == 0;
}

// A start tag's attributes as the parser hands them over: names in lower case, the first of repeated
// names only, a value of null for an attribute written without one.
class Attributes {
public:
    explicit Attributes(const xmlChar** atts) : atts_(atts) {}

    [[nodiscard]] bool has(const char* name) const { return find(name) != nullptr; }

    // The value, empty for an attribute without one; nothing for a missing attribute.
    [[nodiscard]] std::optional<QByteArrayView> value(const char* name) const
    {
        const xmlChar* const* pair = find(name);
        if (pair == nullptr)
            return std::nullopt;
        return bytesOf(pair[1]);
    }

    [[nodiscard]] QString text(const char* name) const
    {
        const auto bytes = value(name);
        return bytes ? QString::fromUtf8(*bytes) : QString();
    }

    template <typename F> void forEach(F f) const
    {
        for (const xmlChar** pair = atts_; pair != nullptr && pair[0] != nullptr; pair += 2)
            f(pair[0], bytesOf(pair[1]));
    }

private:
    [[nodiscard]] const xmlChar* const* find(const char* name) const
    {
        for (const xmlChar** pair = atts_; pair != nullptr && pair[0] != nullptr; pair += 2) {
            if (xmlStrcasecmp(pair[0], BAD_CAST name) == 0)
                return pair;
        }
        return nullptr;
    }

    const xmlChar** atts_;
};

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

enum class Render {
    Keep,        // whitelisted tag, rendered with whitelisted attributes
    Void,        // whitelisted tag without content or end tag
    Transparent, // tag dropped, content kept
    Drop,        // tag and content dropped
    Image,
    Control,
};

struct TagRule {
    const char* name;
    Render render;
};

// Unlisted elements are transparent. That includes embed, source and track: void in HTML5, but the
// parser makes them containers of whatever follows, so dropping them would drop the rest of the page.
constexpr TagRule tagRules[] = {
    {"h1", Render::Keep},        {"h2", Render::Keep},          {"h3", Render::Keep},
    {"h4", Render::Keep},        {"h5", Render::Keep},          {"h6", Render::Keep},
    {"p", Render::Keep},         {"div", Render::Keep},         {"blockquote", Render::Keep},
    {"pre", Render::Keep},       {"table", Render::Keep},       {"caption", Render::Keep},
    {"thead", Render::Keep},     {"tbody", Render::Keep},       {"tfoot", Render::Keep},
    {"tr", Render::Keep},        {"td", Render::Keep},          {"th", Render::Keep},
    {"ul", Render::Keep},        {"ol", Render::Keep},          {"li", Render::Keep},
    {"dl", Render::Keep},        {"dt", Render::Keep},          {"dd", Render::Keep},
    {"b", Render::Keep},         {"i", Render::Keep},           {"u", Render::Keep},
    {"strong", Render::Keep},    {"em", Render::Keep},          {"tt", Render::Keep},
    {"code", Render::Keep},      {"sub", Render::Keep},         {"sup", Render::Keep},
    {"small", Render::Keep},     {"big", Render::Keep},         {"s", Render::Keep},
    {"br", Render::Void},        {"hr", Render::Void},          {"img", Render::Image},
    {"input", Render::Control},  {"textarea", Render::Control}, {"select", Render::Control},
    {"button", Render::Control}, {"head", Render::Drop},        {"title", Render::Drop},
    {"meta", Render::Drop},      {"link", Render::Drop},        {"base", Render::Drop},
    {"script", Render::Drop},    {"style", Render::Drop},       {"object", Render::Drop},
    {"applet", Render::Drop},    {"param", Render::Drop},       {"iframe", Render::Drop},
    {"frame", Render::Drop},     {"frameset", Render::Drop},    {"noframes", Render::Drop},
    {"noembed", Render::Drop},   {"template", Render::Drop},    {"svg", Render::Drop},
    {"math", Render::Drop},      {"audio", Render::Drop},       {"video", Render::Drop},
    {"canvas", Render::Drop},    {"map", Render::Drop},         {"area", Render::Drop},
};

// The parser gives element names in lower case.
Render renderOf(const xmlChar* name)
{
    static const auto sorted = [] {
        std::array<TagRule, std::size(tagRules)> rules{};
        std::copy(std::begin(tagRules), std::end(tagRules), rules.begin());
        std::sort(rules.begin(), rules.end(),
                  [](const TagRule& a, const TagRule& b) { return std::strcmp(a.name, b.name) < 0; });
        return rules;
    }();
    const char* wanted = reinterpret_cast<const char*>(name);
    const auto rule =
        std::lower_bound(sorted.begin(), sorted.end(), wanted,
                         [](const TagRule& r, const char* n) { return std::strcmp(r.name, n) < 0; });
    return rule != sorted.end() && std::strcmp(rule->name, wanted) == 0 ? rule->render : Render::Transparent;
}

bool isSmallNumber(const QString& text)
{
    if (text.isEmpty() || text.size() > 3)
        return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

// Only presentation attributes whose values cannot carry an address.
std::optional<QString> safeAttributeValue(const QByteArray& name, const QString& raw)
{
    const QString value = raw.trimmed().toLower();
    if (name == "border" || name == "cellpadding" || name == "cellspacing" || name == "colspan" ||
        name == "rowspan")
        return isSmallNumber(value) ? std::optional(value) : std::nullopt;
    if (name == "align") {
        if (value == u"left" || value == u"center" || value == u"right" || value == u"justify")
            return value;
        return std::nullopt;
    }
    if (name == "valign") {
        if (value == u"top" || value == u"middle" || value == u"bottom" || value == u"baseline")
            return value;
        return std::nullopt;
    }
    return std::nullopt;
}

QString bracketed(const QString& text)
{
    return u'[' + text.toHtmlEscaped() + u']';
}

// Far longer than the view's text allowance in any encoding (a character is at most three bytes of
// UTF-8 for each UTF-16 unit it takes), so such a control's text is not even built.
bool tooLongToShow(QByteArrayView utf8);

std::optional<QString> renderInput(const Attributes& atts)
{
    if (tooLongToShow(atts.value("value").value_or(QByteArrayView())))
        return std::nullopt;
    const QString type = atts.text("type").trimmed().toLower();
    const QString value = atts.text("value");
    if (type == u"hidden")
        return QString();
    if (type == u"checkbox" || type == u"radio")
        return atts.has("checked") ? QStringLiteral("[x]") : QStringLiteral("[ ]");
    if (type == u"image")
        return QStringLiteral("[image]");
    if (type == u"password")
        return bracketed(QString(value.size(), u'*'));
    if (type == u"submit" && value.isEmpty())
        return QStringLiteral("[Submit]");
    if (type == u"reset" && value.isEmpty())
        return QStringLiteral("[Reset]");
    return bracketed(value);
}

// Far above any adapter's page, which has a few dozen elements, one small table and a kilobyte of text,
// and far below what stalls the view's rich-text layout: its cost grows with the elements, the text and
// most with table cells (about 0.05 ms each), and for nested tables steeply with the depth.
constexpr qsizetype DisplayDepth = 16;
constexpr qsizetype DisplayElements = 2000;
constexpr qsizetype DisplayCells = 100;
constexpr qsizetype DisplayText = 16 * 1024;

bool tooLongToShow(QByteArrayView utf8)
{
    return utf8.size() > 3 * DisplayText;
}

// The safe rendering of the page's first part, fed with the page's elements and text in document order.
class Renderer {
public:
    explicit Renderer(QString& out) : out_(out) {}

    [[nodiscard]] bool stopped() const { return stopped_; }

    // What happens to an element's start tag: nothing shown, its tag written, or a control to be shown
    // once its content is known.
    enum class Opened { Nothing, Tag, Control };

    Opened open(const xmlChar* name, const Attributes& atts, Render render)
    {
        if (stopped_ || render == Render::Transparent || render == Render::Drop)
            return Opened::Nothing;
        if (elements_ == DisplayElements)
            return stop();
        const bool cell = nameIs(name, "td") || nameIs(name, "th");
        if (cell && cells_ == DisplayCells)
            return stop();
        ++elements_;
        cells_ += cell ? 1 : 0;
        switch (render) {
        case Render::Keep:
            // Deeper than the limit the content is shown without its markup.
            if (openTags_ == DisplayDepth) {
                shortened_ = true;
                return Opened::Nothing;
            }
            openTag(name, atts);
            ++openTags_;
            return Opened::Tag;
        case Render::Void:
            out_ += u'<' + tagName(name) + u'>';
            return Opened::Nothing;
        case Render::Image:
            appendText(QStringLiteral("[image]"));
            return Opened::Nothing;
        case Render::Control:
            return Opened::Control;
        default:
            return Opened::Nothing;
        }
    }

    void closeTag(const xmlChar* name)
    {
        out_ += QStringLiteral("</") + tagName(name) + u'>';
        --openTags_;
    }

    void appendText(const QString& text)
    {
        if (stopped_)
            return;
        const qsizetype room = DisplayText - text_;
        if (text.size() > room) {
            out_ += text.first(room).toHtmlEscaped();
            text_ = DisplayText;
            stop();
            return;
        }
        out_ += text.toHtmlEscaped();
        text_ += text.size();
    }

    // A control's text is already escaped; it is only cut where nothing is left of the text allowance.
    // Nothing: the control's text is too long to be worth building.
    void appendControl(const std::optional<QString>& html)
    {
        if (stopped_)
            return;
        if (!html || html->size() > DisplayText - text_) {
            stop();
            return;
        }
        out_ += *html;
        text_ += html->size();
    }

    // Says, once every open tag is closed, whether anything was left out.
    void finish()
    {
        if (shortened_)
            out_ += QStringLiteral("<hr><p>The page was shortened for display.</p>");
    }

private:
    static QString tagName(const xmlChar* name)
    {
        return QString::fromLatin1(reinterpret_cast<const char*>(name)).toLower();
    }

    Opened stop()
    {
        stopped_ = shortened_ = true;
        return Opened::Nothing;
    }

    void openTag(const xmlChar* name, const Attributes& atts)
    {
        out_ += u'<' + tagName(name);
        atts.forEach([this](const xmlChar* attName, QByteArrayView value) {
            const QByteArray lower = QByteArray(reinterpret_cast<const char*>(attName)).toLower();
            if (auto safe = safeAttributeValue(lower, QString::fromUtf8(value)))
                out_ += u' ' + QString::fromLatin1(lower) + QStringLiteral("=\"") + *safe + u'"';
        });
        out_ += u'>';
    }

    QString& out_;
    qsizetype openTags_ = 0;
    qsizetype elements_ = 0;
    qsizetype cells_ = 0;
    qsizetype text_ = 0;
    bool shortened_ = false;
    bool stopped_ = false;
};

} // namespace

// Reads a page from the parser's events in one pass, without a tree: building one cost more than the
// parse itself on a page of many small elements. The events nest as the tree would; for each element
// with an id it keeps what a lookup gives (a control's value needs the element's text and, for a select,
// its options), and it renders the page's first part.
class PageReader {
public:
    using Element = HtmlDocument::Element;
    using ValueKind = HtmlDocument::ValueKind;

    PageReader(std::vector<Element>& elements, QByteArray& bytes, QString& body)
        : elements_(elements), bytes_(bytes), renderer_(body)
    {
    }

    static void install(xmlSAXHandler* sax)
    {
        std::memset(sax, 0, sizeof(xmlSAXHandlerV1));
        sax->initialized = 1;
        sax->startElement = [](void* ctx, const xmlChar* name, const xmlChar** atts) {
            self(ctx).startElement(static_cast<xmlParserCtxtPtr>(ctx), name, Attributes(atts));
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

    void startElement(xmlParserCtxtPtr ctxt, const xmlChar* name, const Attributes& atts)
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
            case Renderer::Opened::Tag:
                open.tagShown = true;
                break;
            case Renderer::Opened::Control:
                open.control = true;
                if (open.kind == Kind::Input)
                    renderer_.appendControl(renderInput(atts));
                break;
            case Renderer::Opened::Nothing:
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

    qsizetype addElement(QByteArrayView id, Kind kind, const Attributes& atts)
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
    void startOption(Open& open, const Attributes& atts)
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
    Renderer renderer_;
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

namespace {

// libxml2 checks each attribute of a start tag against all the tag's earlier ones, so a tag with many
// distinct attributes costs their square: 32,000 of them take a second, a 1 MiB page of them 37 s. Its
// array of attribute slots only grows (22, 44, 88, 176, 352 ...), so from the slot count it has reached,
// a page with a tag of more than 87 distinct attributes is known while the parse runs, whatever the
// page's encoding. An adapter's tags have six at most.
constexpr int MaxAttributes = 87;
constexpr int MaxAttributeSlots = 2 * MaxAttributes + 2;

// Hands the page to the parser a few kilobytes at a time, so that the attribute count is looked at
// between pieces and a refused page is not read further: handed the whole page at once, the parser
// gets no chance to be stopped inside one tag. Where a piece ends matters to this libxml2, which reads
// a character reference cut by a piece's end in a long attribute value as text: a piece ends after a
// '>' where it can, where every construct is whole. An adapter's page of a kilobyte or two comes in
// one piece.
struct PageFeed {
    // The parser asks for about 4,000 bytes at a time; more is never handed over, whatever it asks.
    static constexpr qsizetype Piece = 4096;

    QByteArrayView page;
    qsizetype offset = 0;
    xmlParserCtxtPtr ctxt = nullptr;
    bool refused = false;

    [[nodiscard]] bool tooManyAttributes() const
    {
        return ctxt != nullptr && ctxt->maxatts > MaxAttributeSlots;
    }

    // After the last '>' of the piece's second half; without one, at the latest point with no '&' in
    // the three bytes before it, which this libxml2 reads ahead of the bytes it has when it meets a
    // reference. Only pages made of such runs are cut anywhere.
    static qsizetype pieceEnd(QByteArrayView piece)
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

    static int read(void* context, char* buffer, int length)
    {
        auto& feed = *static_cast<PageFeed*>(context);
        if (feed.tooManyAttributes()) {
            feed.refused = true;
            return 0; // the end of the page, as far as the parser is concerned
        }
        const QByteArrayView rest = feed.page.sliced(feed.offset);
        qsizetype size = std::min({static_cast<qsizetype>(length), Piece, rest.size()});
        if (size < rest.size())
            size = pieceEnd(rest.first(size));
        std::memcpy(buffer, rest.data(), static_cast<std::size_t>(size));
        feed.offset += size;
        return static_cast<int>(size);
    }
};

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

HtmlDocument::HtmlDocument(QByteArrayView html, const QByteArray& charset)
{
    if (html.isEmpty() || html.size() > INT_MAX)
        return;
    initParserOnce();
    const QByteArray encoding = charset.trimmed();
    // Without HTML_PARSE_HUGE on purpose: the reader stops where the parser's depth limit of 256 open
    // elements would, which is what keeps the parse linear: each end tag is looked up in the stack of
    // open elements, so with no limit a page of 70,000 nested elements and as many stray end tags takes
    // seconds. The price is that the parse stops at the 257th level and the rest of such a page is not
    // read; no adapter nests that deep. Its other limit, 10 MB of text in one node, lies far beyond the
    // 1 MiB the page component accepts.
    constexpr int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET;
    // What htmlReadMemory does, with the reader in place of the tree builder and the page fed in pieces.
    // Its parser context is the generic one, which detects UTF-8 without a declared charset; the HTML
    // one does not.
    PageFeed feed{html};
    xmlParserCtxtPtr ctxt =
        xmlCreateIOParserCtxt(nullptr, nullptr, &PageFeed::read, nullptr, &feed, XML_CHAR_ENCODING_NONE);
    if (ctxt == nullptr)
        return;
    feed.ctxt = ctxt;
    PageReader reader(elements_, bytes_, body_);
    PageReader::install(ctxt->sax);
    htmlCtxtUseOptions(ctxt, options);
    ctxt->html = 1;
    ctxt->_private = &reader;
    if (!encoding.isEmpty()) {
        if (xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(encoding.constData())) {
            xmlSwitchToEncoding(ctxt, handler);
            xmlFree(const_cast<xmlChar*>(ctxt->input->encoding));
            ctxt->input->encoding = xmlStrdup(BAD_CAST encoding.constData());
        }
    }
    keepEncodingOfFirstBytes(ctxt, html);
    htmlParseDocument(ctxt);
    reader.finish();
    // The last pieces may have been parsed after the feed last looked.
    const bool refused = feed.refused || feed.tooManyAttributes();
    if (ctxt->myDoc != nullptr)
        xmlFreeDoc(ctxt->myDoc);
    xmlFreeParserCtxt(ctxt);
    if (refused) {
        *this = errorPage(
            QStringLiteral("The page has an element with more than %1 attributes, which is not read")
                .arg(MaxAttributes));
        return;
    }
    parsed_ = true;
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
    QString out = QStringLiteral("<html><body>");
    if (errorReason_) {
        out += QStringLiteral("<h3>The page cannot be displayed</h3><p>") + errorReason_->toHtmlEscaped() +
               QStringLiteral("</p>");
    } else {
        out += body_;
    }
    out += QStringLiteral("</body></html>");
    return out;
}

} // namespace quorvel::acquisition
