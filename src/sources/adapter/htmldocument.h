#pragma once

#include "pagecomponent.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>
#include <vector>

namespace quorvel::acquisition {

// A page read by libxml2's forgiving HTML parser in one pass of its events, without a tree: what a lookup
// by id can give is kept for every element with an id. The safe rendering of the page's first part is
// display work: made in the same pass when asked ahead, else only once displayHtml() wants it, by a second
// pass over the kept bytes, so a reader without a view never pays for it. Any bytes give a document;
// bytes the parser can make nothing of give one in which no element is found.
class HtmlDocument final : public PageDocument {
public:
    // An empty document, the blank page shown while a load is running.
    HtmlDocument();
    // The CPU time reading one page may cost the thread; past it the document is the error page. What the
    // view then makes of a page read just within it, rendering ahead, stays within the window's 50 ms: the
    // dearest view the rendering's limits allow takes about 21 ms (bench/pagecost.txt).
    static constexpr std::chrono::milliseconds ReadBudget{25};

    enum class Rendering { Lazy, Ahead };

    // charset is the one named by the answer's Content-Type; empty lets libxml2 detect it. A page that
    // reaches the parser in one piece (about 4 KB) is read whatever the budget. Rendering ahead counts
    // within the budget; a lazy rendering reads the page again, whole, as the budget let it be read.
    explicit HtmlDocument(QByteArray html, const QByteArray& charset = {},
                          std::chrono::milliseconds readBudget = ReadBudget,
                          Rendering rendering = Rendering::Lazy);
    ~HtmlDocument() override;
    HtmlDocument(HtmlDocument&&) noexcept;
    HtmlDocument& operator=(HtmlDocument&&) noexcept;

    // The page shown for a failed load; it has no elements the acquisition could read.
    [[nodiscard]] static HtmlDocument errorPage(const QString& reason);

    [[nodiscard]] std::optional<QString> elementValue(const QString& id) const override;
    [[nodiscard]] QString displayHtml() const override;

    // Why the load failed, for an error page; nothing for a loaded page.
    [[nodiscard]] std::optional<QString> errorReason() const override { return errorReason_; }
    [[nodiscard]] bool isEmpty() const { return !parsed_; }
    // Whether the safe rendering has been made: ahead, or since displayHtml() asked for it.
    [[nodiscard]] bool rendered() const { return body_.has_value(); }

    // What a lookup finds of one element with an id, in document order; its bytes lie in bytes_.
    enum class ValueKind : unsigned char { None, Plain, Collapsed, Textarea };
    struct Element {
        qsizetype idBegin = 0;
        qsizetype idSize = 0;
        qsizetype valueBegin = 0;
        qsizetype valueSize = 0;
        ValueKind kind = ValueKind::None;
    };

private:
    [[nodiscard]] QString render() const;

    std::vector<Element> elements_;
    QByteArray bytes_;
    // The page until its rendering is made, and the rendering of its first part once it is.
    mutable QByteArray page_;
    QByteArray charset_;
    mutable std::optional<QString> body_;
    bool parsed_ = false;
    std::optional<QString> errorReason_;
};

} // namespace quorvel::acquisition
