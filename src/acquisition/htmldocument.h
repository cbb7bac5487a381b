#pragma once

#include "acquisition/pagecomponent.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <chrono>
#include <optional>
#include <vector>

namespace quorvel::acquisition {

// A page read by libxml2's forgiving HTML parser in one pass of its events, without a tree: what a lookup
// by id can give is kept for every element with an id, and the safe rendering of the page's first part.
// Any bytes give a document; bytes the parser can make nothing of give one in which no element is found.
class HtmlDocument final : public PageDocument {
public:
    // An empty document, the blank page shown while a load is running.
    HtmlDocument();
    // The CPU time reading one page may cost the thread; past it the document is the error page. What the
    // view then makes of a page read just within it stays within the window's 50 ms: the dearest view the
    // rendering's limits allow takes about 21 ms (bench/pagecost.txt).
    static constexpr std::chrono::milliseconds ReadBudget{25};

    // charset is the one named by the answer's Content-Type; empty lets libxml2 detect it. A page that
    // reaches the parser in one piece (about 4 KB) is read whatever the budget.
    explicit HtmlDocument(QByteArrayView html, const QByteArray& charset = {},
                          std::chrono::milliseconds readBudget = ReadBudget);
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
    std::vector<Element> elements_;
    QByteArray bytes_;
    QString body_; // the safe rendering of the page's first part
    bool parsed_ = false;
    std::optional<QString> errorReason_;
};

} // namespace quorvel::acquisition
