#pragma once

#include "acquisition/pagecomponent.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <optional>

// libxml2 stays out of this header: the library links it privately.
struct _xmlDoc;

namespace quorvel::acquisition {

// A page parsed by libxml2's forgiving HTML parser. Any bytes give a document; bytes the parser can make
// nothing of give an empty one, in which no element is found.
class HtmlDocument final : public PageDocument {
public:
    // An empty document, the blank page shown while a load is running.
    HtmlDocument();
    // charset is the one named by the answer's Content-Type; empty lets libxml2 detect it.
    explicit HtmlDocument(QByteArrayView html, const QByteArray& charset = {});
    ~HtmlDocument() override;
    HtmlDocument(HtmlDocument&&) noexcept;
    HtmlDocument& operator=(HtmlDocument&&) noexcept;

    // The page shown for a failed load; it has no elements the acquisition could read.
    [[nodiscard]] static HtmlDocument errorPage(const QString& reason);

    [[nodiscard]] std::optional<QString> elementValue(const QString& id) const override;
    [[nodiscard]] QString displayHtml() const override;

    // Why the load failed, for an error page; nothing for a loaded page.
    [[nodiscard]] const std::optional<QString>& errorReason() const { return m_errorReason; }
    [[nodiscard]] bool isEmpty() const { return !m_doc; }

private:
    struct XmlDocFree {
        void operator()(_xmlDoc* doc) const;
    };

    std::unique_ptr<_xmlDoc, XmlDocFree> m_doc;
    std::optional<QString> m_errorReason;
};

} // namespace quorvel::acquisition
