#pragma once

// Internal to quorvel_acquisition: the rest of the core sees pages through htmldocument.h only.

#include "tagattributes.h"

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace quorvel::acquisition {

// What the safe rendering does with an element.
enum class Render {
    Keep,        // whitelisted tag, rendered with whitelisted attributes
    Void,        // whitelisted tag without content or end tag
    Transparent, // tag dropped, content kept
    Drop,        // tag and content dropped
    Image,
    Control,
};

// The rule for an element name as the parser gives it, in lower case.
[[nodiscard]] Render renderOf(const xmlChar* name);

// A control's text as the view shows it, escaped.
[[nodiscard]] QString bracketed(const QString& text);

// Far longer than the view's text allowance in any encoding (a character is at most three bytes of
// UTF-8 for each UTF-16 unit it takes), so such a control's text is not even built.
[[nodiscard]] bool tooLongToShow(QByteArrayView utf8);

// What the view shows of an <input>; nothing where its value is too long to be worth building.
[[nodiscard]] std::optional<QString> renderInput(const TagAttributes& atts);

// The safe rendering of the page's first part, fed with the page's elements and text in document order:
// only whitelisted tags and presentation attributes, and no more than the view can lay out quickly.
// Without an output it is off: stopped from the start, so a reader that only looks values up skips
// every step of the rendering, and it never says anything was left out.
class PageRenderer final {
public:
    explicit PageRenderer(QString* out) : out_(out), stopped_(out == nullptr) {}

    [[nodiscard]] bool stopped() const { return stopped_; }

    // What happens to an element's start tag: nothing shown, its tag written, or a control to be shown
    // once its content is known.
    enum class Opened { Nothing, Tag, Control };

    Opened open(const xmlChar* name, const TagAttributes& atts, Render render);
    void closeTag(const xmlChar* name);
    void appendText(const QString& text);
    // A control's text is already escaped; it is only cut where nothing is left of the text allowance.
    // Nothing: the control's text is too long to be worth building.
    void appendControl(const std::optional<QString>& html);
    // Says, once every open tag is closed, whether anything was left out.
    void finish();

private:
    Opened stop();
    void openTag(const xmlChar* name, const TagAttributes& atts);

    QString* out_;
    qsizetype openTags_ = 0;
    qsizetype elements_ = 0;
    qsizetype cells_ = 0;
    qsizetype text_ = 0;
    bool shortened_ = false;
    bool stopped_ = false;
};

} // namespace quorvel::acquisition
