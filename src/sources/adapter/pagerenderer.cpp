#include "pagerenderer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>

namespace quorvel::acquisition {

namespace {

bool nameIs(const xmlChar* name, const char* wanted)
{
    return name != nullptr && xmlStrcasecmp(name, BAD_CAST wanted) == 0;
}

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

// Far above any adapter's page, which has a few dozen elements, one small table and a kilobyte of text,
// and far below what stalls the view's rich-text layout: its cost grows with the elements, the text and
// most with table cells (about 0.05 ms each), and for nested tables steeply with the depth.
constexpr qsizetype DisplayDepth = 16;
constexpr qsizetype DisplayElements = 2000;
constexpr qsizetype DisplayCells = 100;
constexpr qsizetype DisplayText = 16 * 1024;

QString tagName(const xmlChar* name)
{
    return QString::fromLatin1(reinterpret_cast<const char*>(name)).toLower();
}

} // namespace

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

QString bracketed(const QString& text)
{
    return u'[' + text.toHtmlEscaped() + u']';
}

bool tooLongToShow(QByteArrayView utf8)
{
    return utf8.size() > 3 * DisplayText;
}

std::optional<QString> renderInput(const TagAttributes& atts)
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

PageRenderer::Opened PageRenderer::open(const xmlChar* name, const TagAttributes& atts, Render render)
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
        *out_ += u'<' + tagName(name) + u'>';
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

void PageRenderer::closeTag(const xmlChar* name)
{
    *out_ += QStringLiteral("</") + tagName(name) + u'>';
    --openTags_;
}

void PageRenderer::appendText(const QString& text)
{
    if (stopped_)
        return;
    const qsizetype room = DisplayText - text_;
    if (text.size() > room) {
        *out_ += text.first(room).toHtmlEscaped();
        text_ = DisplayText;
        stop();
        return;
    }
    *out_ += text.toHtmlEscaped();
    text_ += text.size();
}

void PageRenderer::appendControl(const std::optional<QString>& html)
{
    if (stopped_)
        return;
    if (!html || html->size() > DisplayText - text_) {
        stop();
        return;
    }
    *out_ += *html;
    text_ += html->size();
}

void PageRenderer::finish()
{
    if (shortened_)
        *out_ += QStringLiteral("<hr><p>The page was shortened for display.</p>");
}

PageRenderer::Opened PageRenderer::stop()
{
    stopped_ = shortened_ = true;
    return Opened::Nothing;
}

void PageRenderer::openTag(const xmlChar* name, const TagAttributes& atts)
{
    *out_ += u'<' + tagName(name);
    atts.forEach([this](const xmlChar* attName, QByteArrayView value) {
        const QByteArray lower = QByteArray(reinterpret_cast<const char*>(attName)).toLower();
        if (auto safe = safeAttributeValue(lower, QString::fromUtf8(value)))
            *out_ += u' ' + QString::fromLatin1(lower) + QStringLiteral("=\"") + *safe + u'"';
    });
    *out_ += u'>';
}

} // namespace quorvel::acquisition
