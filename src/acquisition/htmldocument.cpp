#include "acquisition/htmldocument.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>

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

class Renderer {
public:
    explicit Renderer(QString& out) : m_out(out) {}

    // Returns whether the node's children are to be rendered.
    bool open(const xmlNode* node)
    {
        switch (renderOf(node)) {
        case Render::Keep:
            if (node->type == XML_TEXT_NODE) {
                if (node->content != nullptr)
                    m_out += QString::fromUtf8(reinterpret_cast<const char*>(node->content)).toHtmlEscaped();
                return false;
            }
            openTag(node);
            return true;
        case Render::Void:
            m_out += u'<' + tagName(node) + u'>';
            return false;
        case Render::Transparent:
            return true;
        case Render::Image:
            m_out += QStringLiteral("[image]");
            return false;
        case Render::Control:
            m_out += renderControl(node);
            return false;
        case Render::Drop:
            return false;
        }
        return false;
    }

    void close(const xmlNode* node)
    {
        if (node->type == XML_ELEMENT_NODE && renderOf(node) == Render::Keep)
            m_out += QStringLiteral("</") + tagName(node) + u'>';
    }

private:
    static QString tagName(const xmlNode* node)
    {
        return QString::fromLatin1(reinterpret_cast<const char*>(node->name)).toLower();
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
};

void render(const xmlDoc* doc, QString& out)
{
    const auto* root = reinterpret_cast<const xmlNode*>(doc);
    Renderer renderer(out);
    const xmlNode* node = doc->children;
    while (node != nullptr) {
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
}

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
    constexpr int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET;
    m_doc.reset(htmlReadMemory(html.data(), static_cast<int>(html.size()), nullptr,
                               encoding.isEmpty() ? nullptr : encoding.constData(), options));
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
