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
    explicit Attributes(const xmlChar** atts) : m_atts(atts) {}

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
        for (const xmlChar** pair = m_atts; pair != nullptr && pair[0] != nullptr; pair += 2)
            f(pair[0], bytesOf(pair[1]));
    }

private:
    [[nodiscard]] const xmlChar* const* find(const char* name) const
    {
        for (const xmlChar** pair = m_atts; pair != nullptr && pair[0] != nullptr; pair += 2) {
            if (xmlStrcasecmp(pair[0], BAD_CAST name) == 0)
                return pair;
        }
        return nullptr;
    }

    const xmlChar** m_atts;
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
    explicit Renderer(QString& out) : m_out(out) {}

    [[nodiscard]] bool stopped() const { return m_stopped; }

    // What happens to an element's start tag: nothing shown, its tag written, or a control to be shown
    // once its content is known.
    enum class Opened { Nothing, Tag, Control };

    Opened open(const xmlChar* name, const Attributes& atts, Render render)
    {
        if (m_stopped || render == Render::Transparent || render == Render::Drop)
            return Opened::Nothing;
        if (m_elements == DisplayElements)
            return stop();
        const bool cell = nameIs(name, "td") || nameIs(name, "th");
        if (cell && m_cells == DisplayCells)
            return stop();
        ++m_elements;
        m_cells += cell ? 1 : 0;
        switch (render) {
        case Render::Keep:
            // Deeper than the limit the content is shown without its markup.
            if (m_openTags == DisplayDepth) {
                m_shortened = true;
                return Opened::Nothing;
            }
            openTag(name, atts);
            ++m_openTags;
            return Opened::Tag;
        case Render::Void:
            m_out += u'<' + tagName(name) + u'>';
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
        m_out += QStringLiteral("</") + tagName(name) + u'>';
        --m_openTags;
    }

    void appendText(const QString& text)
    {
        if (m_stopped)
            return;
        const qsizetype room = DisplayText - m_text;
        if (text.size() > room) {
            m_out += text.first(room).toHtmlEscaped();
            m_text = DisplayText;
            stop();
            return;
        }
        m_out += text.toHtmlEscaped();
        m_text += text.size();
    }

    // A control's text is already escaped; it is only cut where nothing is left of the text allowance.
    // Nothing: the control's text is too long to be worth building.
    void appendControl(const std::optional<QString>& html)
    {
        if (m_stopped)
            return;
        if (!html || html->size() > DisplayText - m_text) {
            stop();
            return;
        }
        m_out += *html;
        m_text += html->size();
    }

    // Says, once every open tag is closed, whether anything was left out.
    void finish()
    {
        if (m_shortened)
            m_out += QStringLiteral("<hr><p>The page was shortened for display.</p>");
    }

private:
    static QString tagName(const xmlChar* name)
    {
        return QString::fromLatin1(reinterpret_cast<const char*>(name)).toLower();
    }

    Opened stop()
    {
        m_stopped = m_shortened = true;
        return Opened::Nothing;
    }

    void openTag(const xmlChar* name, const Attributes& atts)
    {
        m_out += u'<' + tagName(name);
        atts.forEach([this](const xmlChar* attName, QByteArrayView value) {
            const QByteArray lower = QByteArray(reinterpret_cast<const char*>(attName)).toLower();
            if (auto safe = safeAttributeValue(lower, QString::fromUtf8(value)))
                m_out += u' ' + QString::fromLatin1(lower) + QStringLiteral("=\"") + *safe + u'"';
        });
        m_out += u'>';
    }

    QString& m_out;
    qsizetype m_openTags = 0;
    qsizetype m_elements = 0;
    qsizetype m_cells = 0;
    qsizetype m_text = 0;
    bool m_shortened = false;
    bool m_stopped = false;
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
        : m_elements(elements), m_bytes(bytes), m_renderer(body)
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
        m_renderer.finish();
    }

private:
    enum class Kind : unsigned char { Other, Input, Button, Textarea, Select, Option };

    struct Open {
        const xmlChar* name = nullptr;
        Kind kind = Kind::Other;
        bool tagShown = false;
        bool control = false;     // shown once it ends
        bool hides = false;       // nothing inside it is shown
        qsizetype element = -1;   // index in m_elements still waiting for its value
        qsizetype textBegin = -1; // where its text starts in m_text, when it is collected
        qsizetype select = -1;    // index in m_selects
        qsizetype option = -1;    // index in m_options of the value a select takes from it
        bool optionHasValue = false;
        QByteArray optionValue;
    };

    // A select whose value or label is needed: the option it takes, the first selected or else the
    // first one, in document order.
    struct SelectState {
        qsizetype chosen = -1; // index in m_options
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
        while (std::ssize(m_open) > open)
            close();
    }

    void startElement(xmlParserCtxtPtr ctxt, const xmlChar* name, const Attributes& atts)
    {
        if (m_halted)
            return;
        closeTo(ctxt->nameNr - 1);
        // The tree builder stops the whole parse below this depth; so does this reader, or the parser's
        // search of its open elements for each end tag would make a deeply nested page quadratic.
        if (std::ssize(m_open) > static_cast<qsizetype>(xmlParserMaxDepth)) {
            m_halted = true;
            xmlStopParser(ctxt);
            return;
        }
        Open open;
        open.name = name;
        open.kind = kindOf(name);
        if (const auto id = atts.value("id"))
            open.element = addElement(*id, open.kind, atts);

        // Once the rendering has stopped, nothing more is shown and no element needs a look-up.
        const Render render = m_renderer.stopped() ? Render::Transparent : renderOf(name);
        if (m_hiding == 0) {
            switch (m_renderer.open(name, atts, render)) {
            case Renderer::Opened::Tag:
                open.tagShown = true;
                break;
            case Renderer::Opened::Control:
                open.control = true;
                if (open.kind == Kind::Input)
                    m_renderer.appendControl(renderInput(atts));
                break;
            case Renderer::Opened::Nothing:
                break;
            }
        }
        open.hides = open.control || render == Render::Drop;
        m_hiding += open.hides ? 1 : 0;

        if (open.kind == Kind::Option)
            startOption(open, atts);
        if (open.kind == Kind::Select && (open.element >= 0 || open.control)) {
            open.select = std::ssize(m_selects);
            m_selects.push_back({});
            m_needFirst.push_back(open.select);
            m_needSelected.push_back(open.select);
        }
        const bool needsText = open.option >= 0 ||
                               (open.kind == Kind::Option && open.element >= 0 && !open.optionHasValue) ||
                               (open.kind == Kind::Textarea && (open.element >= 0 || open.control)) ||
                               (open.kind == Kind::Button && open.control);
        if (needsText) {
            open.textBegin = m_text.size();
            ++m_collecting;
        }
        m_open.push_back(std::move(open));
    }

    void endElement(xmlParserCtxtPtr ctxt)
    {
        if (m_halted)
            return;
        closeTo(ctxt->nameNr);
        if (std::ssize(m_open) == ctxt->nameNr && !m_open.empty())
            close();
    }

    void text(xmlParserCtxtPtr ctxt, const xmlChar* ch, int len, bool shown)
    {
        if (m_halted)
            return;
        closeTo(ctxt->nameNr);
        // The tree builder drops text outside every element.
        if (m_open.empty() || len <= 0)
            return;
        const QByteArrayView bytes(reinterpret_cast<const char*>(ch), len);
        if (m_collecting > 0)
            m_text += bytes;
        if (shown && m_hiding == 0 && !m_renderer.stopped())
            m_renderer.appendText(QString::fromUtf8(bytes));
    }

    qsizetype addElement(QByteArrayView id, Kind kind, const Attributes& atts)
    {
        Element element;
        element.idBegin = m_bytes.size();
        element.idSize = id.size();
        m_bytes += id;
        const qsizetype index = std::ssize(m_elements);
        m_elements.push_back(element);
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
        Element& element = m_elements[static_cast<std::size_t>(index)];
        element.valueBegin = m_bytes.size();
        element.valueSize = value.size();
        element.kind = kind;
        m_bytes += value;
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
        if (m_needFirst.empty() && !(selected && !m_needSelected.empty()))
            return;
        open.option = std::ssize(m_options);
        m_options.emplace_back();
        for (const qsizetype select : m_needFirst)
            m_selects[static_cast<std::size_t>(select)].chosen = open.option;
        m_needFirst.clear();
        if (selected) {
            for (const qsizetype select : m_needSelected) {
                m_selects[static_cast<std::size_t>(select)].chosen = open.option;
                m_selects[static_cast<std::size_t>(select)].final = true;
            }
            m_needSelected.clear();
        }
    }

    void close()
    {
        Open open = std::move(m_open.back());
        m_open.pop_back();
        const QByteArrayView text =
            open.textBegin >= 0 ? QByteArrayView(m_text).sliced(open.textBegin) : QByteArrayView();
        switch (open.kind) {
        case Kind::Textarea:
            if (open.element >= 0)
                setValue(open.element, text, ValueKind::Textarea);
            if (open.control)
                m_renderer.appendControl(
                    tooLongToShow(text)
                        ? std::nullopt
                        : std::optional(
                              bracketed(textareaValue(text)).replace(u'\n', QStringLiteral("<br>"))));
            break;
        case Kind::Button:
            if (open.control)
                m_renderer.appendControl(labelControl(text));
            break;
        case Kind::Option:
            if (open.element >= 0)
                setValue(open.element, text, ValueKind::Collapsed);
            if (open.option >= 0) {
                OptionResult& result = m_options[static_cast<std::size_t>(open.option)];
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
        if (open.textBegin >= 0 && --m_collecting == 0)
            m_text.clear();
        m_hiding -= open.hides ? 1 : 0;
        if (open.tagShown)
            m_renderer.closeTag(open.name);
    }

    static std::optional<QString> labelControl(QByteArrayView label)
    {
        if (tooLongToShow(label))
            return std::nullopt;
        return bracketed(collapseWhitespace(QString::fromUtf8(label)));
    }

    void closeSelect(const Open& open)
    {
        const SelectState state = m_selects[static_cast<std::size_t>(open.select)];
        m_selects.pop_back();
        if (!m_needFirst.empty() && m_needFirst.back() == open.select)
            m_needFirst.pop_back();
        if (!m_needSelected.empty() && m_needSelected.back() == open.select)
            m_needSelected.pop_back();
        const OptionResult none;
        const OptionResult& chosen =
            state.chosen >= 0 ? m_options[static_cast<std::size_t>(state.chosen)] : none;
        if (open.element >= 0)
            setValue(open.element, chosen.value, chosen.collapse ? ValueKind::Collapsed : ValueKind::Plain);
        if (open.control)
            m_renderer.appendControl(labelControl(chosen.label));
        if (m_selects.empty())
            m_options.clear();
    }

    std::vector<Element>& m_elements;
    QByteArray& m_bytes;
    Renderer m_renderer;
    std::vector<Open> m_open;
    qsizetype m_hiding = 0;     // open controls and dropped elements: nothing inside them is shown
    qsizetype m_collecting = 0; // open elements whose text is needed
    QByteArray m_text;          // their text, from the outermost one's start
    std::vector<SelectState> m_selects;
    std::vector<qsizetype> m_needFirst;
    std::vector<qsizetype> m_needSelected;
    std::vector<OptionResult> m_options;
    bool m_halted = false;
};

HtmlDocument::HtmlDocument() = default;
HtmlDocument::~HtmlDocument() = default;
HtmlDocument::HtmlDocument(HtmlDocument&&) noexcept = default;
HtmlDocument& HtmlDocument::operator=(HtmlDocument&&) noexcept = default;

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
    // What htmlReadMemory does, with the reader in place of the tree builder. Its parser context is the
    // one for memory input that detects UTF-8 without a declared charset; the HTML one does not.
    xmlParserCtxtPtr ctxt = xmlCreateMemoryParserCtxt(html.data(), static_cast<int>(html.size()));
    if (ctxt == nullptr)
        return;
    PageReader reader(m_elements, m_bytes, m_body);
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
    htmlParseDocument(ctxt);
    reader.finish();
    m_parsed = true;
    if (ctxt->myDoc != nullptr)
        xmlFreeDoc(ctxt->myDoc);
    xmlFreeParserCtxt(ctxt);
}

HtmlDocument HtmlDocument::errorPage(const QString& reason)
{
    HtmlDocument page;
    page.m_errorReason = reason;
    return page;
}

std::optional<QString> HtmlDocument::elementValue(const QString& id) const
{
    const QByteArray wanted = id.toUtf8();
    for (const Element& element : m_elements) {
        if (QByteArrayView(m_bytes).sliced(element.idBegin, element.idSize) != wanted)
            continue;
        const QByteArrayView value = QByteArrayView(m_bytes).sliced(element.valueBegin, element.valueSize);
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
    if (m_errorReason) {
        out += QStringLiteral("<h3>The page cannot be displayed</h3><p>") + m_errorReason->toHtmlEscaped() +
               QStringLiteral("</p>");
    } else {
        out += m_body;
    }
    out += QStringLiteral("</body></html>");
    return out;
}

} // namespace quorvel::acquisition
