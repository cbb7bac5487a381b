#include "acquisition/htmldocument.h"

#include <libxml/HTMLparser.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>
#include <vector>

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

bool nameIs(const xmlNode* node, const char* name)
{
    return node->name != nullptr && xmlStrcasecmp(node->name, BAD_CAST name) == 0;
}

bool isElement(const xmlNode* node, const char* name)
{
    return node->type == XML_ELEMENT_NODE && nameIs(node, name);
}

// Document order without recursion: a page of deeply nested tag soup must not exhaust the stack.
const xmlNode* nextInOrder(const xmlNode* node, const xmlNode* root)
{
    if (node->type == XML_ELEMENT_NODE && node->children != nullptr)
        return node->children;
    while (node != nullptr && node != root) {
        if (node->next != nullptr)
            return node->next;
        node = node->parent;
    }
    return nullptr;
}

const xmlAttr* findAttribute(const xmlNode* element, const char* name)
{
    for (const xmlAttr* attr = element->properties; attr != nullptr; attr = attr->next) {
        if (attr->name != nullptr && xmlStrcasecmp(attr->name, BAD_CAST name) == 0)
            return attr;
    }
    return nullptr;
}

QString attributeText(const xmlAttr* attr)
{
    QString text;
    for (const xmlNode* child = attr->children; child != nullptr; child = child->next) {
        if (child->type == XML_TEXT_NODE && child->content != nullptr)
            text += QString::fromUtf8(reinterpret_cast<const char*>(child->content));
    }
    return text;
}

// Without building a QString: the lookup runs for every page loaded.
bool attributeEquals(const xmlAttr* attr, const QByteArray& utf8)
{
    const xmlNode* child = attr->children;
    if (child == nullptr)
        return utf8.isEmpty();
    if (child->next == nullptr && child->type == XML_TEXT_NODE)
        return xmlStrEqual(child->content, BAD_CAST utf8.constData()) != 0;
    return attributeText(attr).toUtf8() == utf8;
}

std::optional<QString> attributeValue(const xmlNode* element, const char* name)
{
    const xmlAttr* attr = findAttribute(element, name);
    if (attr == nullptr)
        return std::nullopt;
    return attributeText(attr);
}

QString textContent(const xmlNode* element)
{
    QString text;
    for (const xmlNode* n = element->children; n != nullptr; n = nextInOrder(n, element)) {
        if ((n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) && n->content != nullptr)
            text += QString::fromUtf8(reinterpret_cast<const char*>(n->content));
    }
    return text;
}

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

QString optionValue(const xmlNode* option)
{
    if (auto value = attributeValue(option, "value"))
        return *value;
    return collapseWhitespace(textContent(option));
}

QString optionLabel(const xmlNode* option)
{
    return collapseWhitespace(textContent(option));
}

// The first selected option, else the first option; nothing for a select without options.
const xmlNode* chosenOption(const xmlNode* select)
{
    const xmlNode* first = nullptr;
    for (const xmlNode* n = select->children; n != nullptr; n = nextInOrder(n, select)) {
        if (!isElement(n, "option"))
            continue;
        if (findAttribute(n, "selected") != nullptr)
            return n;
        if (first == nullptr)
            first = n;
    }
    return first;
}

// The parser keeps the newline that follows <textarea>; a browser drops it from the value.
QString textareaValue(const xmlNode* textarea)
{
    QString text = textContent(textarea);
    if (text.startsWith(u"\r\n"))
        text.remove(0, 2);
    else if (text.startsWith(u'\n'))
        text.remove(0, 1);
    return text;
}

std::optional<QString> valueProperty(const xmlNode* element)
{
    if (nameIs(element, "input") || nameIs(element, "button"))
        return attributeValue(element, "value").value_or(QString());
    if (nameIs(element, "textarea"))
        return textareaValue(element);
    if (nameIs(element, "option"))
        return optionValue(element);
    if (nameIs(element, "select")) {
        const xmlNode* option = chosenOption(element);
        return option != nullptr ? optionValue(option) : QString();
    }
    return std::nullopt;
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

const TagRule* ruleFor(const xmlNode* element)
{
    for (const TagRule& rule : tagRules) {
        if (nameIs(element, rule.name))
            return &rule;
    }
    return nullptr;
}

Render renderOf(const xmlNode* node)
{
    switch (node->type) {
    case XML_TEXT_NODE:
        return Render::Keep;
    case XML_ELEMENT_NODE: {
        const TagRule* rule = ruleFor(node);
        return rule != nullptr ? rule->render : Render::Transparent;
    }
    default:
        return Render::Drop; // comments, processing instructions, DTD nodes
    }
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

QString renderControl(const xmlNode* element)
{
    if (nameIs(element, "textarea"))
        return bracketed(textareaValue(element)).replace(u'\n', QStringLiteral("<br>"));
    if (nameIs(element, "select")) {
        const xmlNode* option = chosenOption(element);
        return bracketed(option != nullptr ? optionLabel(option) : QString());
    }
    if (nameIs(element, "button"))
        return bracketed(collapseWhitespace(textContent(element)));

    const QString type = attributeValue(element, "type").value_or(QString()).trimmed().toLower();
    const QString value = attributeValue(element, "value").value_or(QString());
    if (type == u"hidden")
        return {};
    if (type == u"checkbox" || type == u"radio")
        return findAttribute(element, "checked") != nullptr ? QStringLiteral("[x]") : QStringLiteral("[ ]");
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

// Marks the nodes the parser made after the page's display prefix (see TreeTrimmer): the view never
// shows them, and most of them are gone before the parse ends.
char lateNodeTag;

bool isLate(const xmlNode* node)
{
    return node->_private == &lateNodeTag;
}

// Far above any adapter's page, which has a few dozen elements and a kilobyte of text, and far below
// what stalls the view's rich-text layout: its cost grows with the elements, the text and, for nested
// tables, steeply with the depth.
constexpr qsizetype DisplayDepth = 16;
constexpr qsizetype DisplayElements = 2000;
constexpr qsizetype DisplayText = 16 * 1024;

class Renderer {
public:
    explicit Renderer(QString& out) : m_out(out) {}

    [[nodiscard]] bool stopped() const { return m_stopped; }

    // Returns whether the node's children are to be rendered.
    bool open(const xmlNode* node)
    {
        if (isLate(node))
            return stop();
        const Render render = renderOf(node);
        if (render == Render::Keep && node->type == XML_TEXT_NODE) {
            if (node->content != nullptr)
                appendText(QString::fromUtf8(reinterpret_cast<const char*>(node->content)));
            return false;
        }
        if (render == Render::Transparent || render == Render::Drop)
            return render == Render::Transparent;
        if (m_elements == DisplayElements)
            return stop();
        ++m_elements;
        switch (render) {
        case Render::Keep:
            // Deeper than the limit the content is shown without its markup.
            if (m_openTags.size() == DisplayDepth) {
                m_shortened = true;
                return true;
            }
            openTag(node);
            m_openTags.push_back(node);
            return true;
        case Render::Void:
            m_out += u'<' + tagName(node) + u'>';
            return false;
        case Render::Image:
            appendText(QStringLiteral("[image]"));
            return false;
        case Render::Control:
            appendControl(renderControl(node));
            return false;
        default:
            return false;
        }
    }

    void close(const xmlNode* node)
    {
        if (!m_openTags.empty() && m_openTags.back() == node)
            closeInnermost();
    }

    // Closes what is still open and says whether anything was left out.
    void finish()
    {
        while (!m_openTags.empty())
            closeInnermost();
        if (m_shortened)
            m_out += QStringLiteral("<hr><p>The page was shortened for display.</p>");
    }

private:
    static QString tagName(const xmlNode* node)
    {
        return QString::fromLatin1(reinterpret_cast<const char*>(node->name)).toLower();
    }

    bool stop()
    {
        m_stopped = m_shortened = true;
        return false;
    }

    void closeInnermost()
    {
        m_out += QStringLiteral("</") + tagName(m_openTags.back()) + u'>';
        m_openTags.pop_back();
    }

    void appendText(const QString& text)
    {
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
    void appendControl(const QString& html)
    {
        if (html.size() > DisplayText - m_text) {
            stop();
            return;
        }
        m_out += html;
        m_text += html.size();
    }

    void openTag(const xmlNode* node)
    {
        m_out += u'<' + tagName(node);
        for (const xmlAttr* attr = node->properties; attr != nullptr; attr = attr->next) {
            const QByteArray name = QByteArray(reinterpret_cast<const char*>(attr->name)).toLower();
            if (auto value = safeAttributeValue(name, attributeText(attr)))
                m_out += u' ' + QString::fromLatin1(name) + QStringLiteral("=\"") + *value + u'"';
        }
        m_out += u'>';
    }

    QString& m_out;
    std::vector<const xmlNode*> m_openTags;
    qsizetype m_elements = 0;
    qsizetype m_text = 0;
    bool m_shortened = false;
    bool m_stopped = false;
};

void render(const xmlDoc* doc, QString& out)
{
    const auto* root = reinterpret_cast<const xmlNode*>(doc);
    Renderer renderer(out);
    const xmlNode* node = doc->children;
    while (node != nullptr && !renderer.stopped()) {
        const bool descend = renderer.open(node);
        if (descend && node->children != nullptr) {
            node = node->children;
            continue;
        }
        if (descend)
            renderer.close(node);
        while (node != nullptr) {
            if (node->next != nullptr) {
                node = node->next;
                break;
            }
            node = node->parent;
            if (node == root || node == nullptr) {
                node = nullptr;
                break;
            }
            renderer.close(node);
        }
    }
    renderer.finish();
}

// Keeps the tree of a huge page small while the parser builds it. The first DisplayElements elements
// and DisplayText bytes of text are kept whole: that prefix is all the view can show. Past it, a node
// is dropped as soon as it is complete unless a lookup by id can reach it: an element with an id, a
// select, option or textarea and everything inside one, and the elements that still hold such nodes.
// Document order among what is kept does not change, so every lookup gives what the whole tree gives.
class TreeTrimmer {
public:
    explicit TreeTrimmer(xmlParserCtxtPtr ctxt) : m_saved(*ctxt->sax)
    {
        ctxt->_private = this;
        xmlSAXHandler* sax = ctxt->sax;
        sax->startElement = [](void* ctx, const xmlChar* name, const xmlChar** atts) {
            self(ctx).startElement(static_cast<xmlParserCtxtPtr>(ctx), name, atts);
        };
        sax->endElement = [](void* ctx, const xmlChar* name) {
            self(ctx).endElement(static_cast<xmlParserCtxtPtr>(ctx), name);
        };
        sax->characters = [](void* ctx, const xmlChar* ch, int len) {
            self(ctx).text(static_cast<xmlParserCtxtPtr>(ctx), self(ctx).m_saved.characters, ch, len);
        };
        sax->ignorableWhitespace = [](void* ctx, const xmlChar* ch, int len) {
            self(ctx).text(static_cast<xmlParserCtxtPtr>(ctx), self(ctx).m_saved.ignorableWhitespace, ch,
                           len);
        };
        sax->cdataBlock = [](void* ctx, const xmlChar* ch, int len) {
            self(ctx).text(static_cast<xmlParserCtxtPtr>(ctx), self(ctx).m_saved.cdataBlock, ch, len);
        };
        sax->comment = [](void* ctx, const xmlChar* value) {
            self(ctx).comment(static_cast<xmlParserCtxtPtr>(ctx), value);
        };
    }

private:
    static TreeTrimmer& self(void* ctx)
    {
        return *static_cast<TreeTrimmer*>(static_cast<xmlParserCtxtPtr>(ctx)->_private);
    }

    static bool holdsValue(const xmlChar* name)
    {
        return name != nullptr &&
               (xmlStrcasecmp(name, BAD_CAST "select") == 0 || xmlStrcasecmp(name, BAD_CAST "option") == 0 ||
                xmlStrcasecmp(name, BAD_CAST "textarea") == 0);
    }

    void startElement(xmlParserCtxtPtr ctxt, const xmlChar* name, const xmlChar** atts)
    {
        dropLateLeaf(ctxt);
        if (!m_late && ++m_elements > DisplayElements)
            m_late = true;
        xmlNode* parent = ctxt->node;
        m_saved.startElement(ctxt, name, atts);
        xmlNode* element = ctxt->node;
        if (element == nullptr || element == parent)
            return;
        if (m_late)
            element->_private = &lateNodeTag;
        if (holdsValue(name))
            m_valueHolders.push_back(element);
    }

    void endElement(xmlParserCtxtPtr ctxt, const xmlChar* name)
    {
        dropLateLeaf(ctxt);
        xmlNode* element = ctxt->node;
        if (!m_valueHolders.empty() && m_valueHolders.back() == element)
            m_valueHolders.pop_back();
        m_saved.endElement(ctxt, name);
        if (element != nullptr && element != ctxt->node && isLate(element) && element->children == nullptr &&
            m_valueHolders.empty() && !holdsValue(element->name) && findAttribute(element, "id") == nullptr) {
            drop(ctxt, element);
        }
    }

    void text(xmlParserCtxtPtr ctxt, charactersSAXFunc saved, const xmlChar* ch, int len)
    {
        if (saved == nullptr)
            return;
        if (!m_late) {
            m_text += len;
            m_late = m_text > DisplayText;
        }
        xmlNode* parent = ctxt->node;
        const xmlNode* before = parent != nullptr ? parent->last : nullptr;
        saved(ctxt, ch, len);
        if (m_late && parent != nullptr && parent->last != nullptr && parent->last != before)
            parent->last->_private = &lateNodeTag;
    }

    void comment(xmlParserCtxtPtr ctxt, const xmlChar* value)
    {
        if (m_saved.comment == nullptr)
            return;
        xmlNode* parent = ctxt->node;
        const xmlNode* before = parent != nullptr ? parent->last : nullptr;
        m_saved.comment(ctxt, value);
        if (m_late && parent != nullptr && parent->last != nullptr && parent->last != before)
            parent->last->_private = &lateNodeTag;
    }

    // The names come from the parser's dictionary, which the document takes over only at the end: till
    // then xmlFreeNode would free them as its own unless it is shown the dictionary.
    static void drop(xmlParserCtxtPtr ctxt, xmlNode* node)
    {
        xmlUnlinkNode(node);
        xmlDoc* doc = node->doc;
        xmlDict* documentDict = doc != nullptr ? doc->dict : nullptr;
        if (doc != nullptr && documentDict == nullptr)
            doc->dict = ctxt->dict;
        xmlFreeNode(node);
        if (doc != nullptr)
            doc->dict = documentDict;
        // The parser appends text to the last text node in place, using the length it noted for that
        // node. With a node gone, two text nodes can meet that it never noted: 0 makes it look again.
        ctxt->nodelen = 0;
        ctxt->nodemem = 0;
    }

    // Text made after the prefix goes once the next node starts, unless a value is read from it. Text
    // that arrives in pieces stays one node until then.
    void dropLateLeaf(xmlParserCtxtPtr ctxt)
    {
        xmlNode* parent = ctxt->node;
        if (!m_late || parent == nullptr || !m_valueHolders.empty())
            return;
        xmlNode* last = parent->last;
        if (last != nullptr && last->type != XML_ELEMENT_NODE && isLate(last)) {
            drop(ctxt, last);
        }
    }

    xmlSAXHandler m_saved;
    std::vector<const xmlNode*> m_valueHolders;
    qsizetype m_elements = 0;
    qsizetype m_text = 0;
    bool m_late = false;
};

} // namespace

void HtmlDocument::XmlDocFree::operator()(_xmlDoc* doc) const
{
    xmlFreeDoc(doc);
}

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
    // Without HTML_PARSE_HUGE on purpose. Its depth limit of 256 open elements is what keeps the parse
    // linear: each end tag is looked up in the stack of open elements, so with the limit lifted a page of
    // 70,000 nested elements and as many stray end tags takes seconds. The price is that the parse stops
    // at the 257th level and the rest of such a page is not read; no adapter nests that deep. Its other
    // limit, 10 MB of text in one node, lies far beyond the 1 MiB the page component accepts.
    // HTML_PARSE_COMPACT stores short text inside its node instead of in a separate allocation.
    constexpr int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                            HTML_PARSE_NONET | HTML_PARSE_COMPACT;
    // What htmlReadMemory does, with the trimmer between the parser and the tree. Its parser context is
    // the one for memory input that detects UTF-8 without a declared charset; the HTML one does not.
    xmlParserCtxtPtr ctxt = xmlCreateMemoryParserCtxt(html.data(), static_cast<int>(html.size()));
    if (ctxt == nullptr)
        return;
    htmlDefaultSAXHandlerInit();
    std::memcpy(ctxt->sax, &htmlDefaultSAXHandler, sizeof(xmlSAXHandlerV1));
    htmlCtxtUseOptions(ctxt, options);
    ctxt->html = 1;
    if (!encoding.isEmpty()) {
        if (xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(encoding.constData())) {
            xmlSwitchToEncoding(ctxt, handler);
            xmlFree(const_cast<xmlChar*>(ctxt->input->encoding));
            ctxt->input->encoding = xmlStrdup(BAD_CAST encoding.constData());
        }
    }
    {
        TreeTrimmer trimmer(ctxt);
        htmlParseDocument(ctxt);
    }
    m_doc.reset(ctxt->myDoc);
    ctxt->myDoc = nullptr;
    // The document owns the names' dictionary from here on.
    if (ctxt->dictNames != 0 && m_doc && m_doc->dict == ctxt->dict)
        ctxt->dict = nullptr;
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
    if (!m_doc)
        return std::nullopt;
    const QByteArray wanted = id.toUtf8();
    const auto* root = reinterpret_cast<const xmlNode*>(m_doc.get());
    for (const xmlNode* n = m_doc->children; n != nullptr; n = nextInOrder(n, root)) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        const xmlAttr* attr = findAttribute(n, "id");
        if (attr != nullptr && attributeEquals(attr, wanted))
            return valueProperty(n);
    }
    return std::nullopt;
}

QString HtmlDocument::displayHtml() const
{
    QString out = QStringLiteral("<html><body>");
    if (m_errorReason) {
        out += QStringLiteral("<h3>The page cannot be displayed</h3><p>") + m_errorReason->toHtmlEscaped() +
               QStringLiteral("</p>");
    } else if (m_doc) {
        render(m_doc.get(), out);
    }
    out += QStringLiteral("</body></html>");
    return out;
}

} // namespace quorvel::acquisition
