#pragma once

#include <QObject>
#include <QString>

#include <optional>

namespace quorvel::acquisition {

// The parsed page a page component has loaded.
class PageDocument {
public:
    virtual ~PageDocument() = default;
    // The value property of the element with this id (case-sensitive); nothing when there is no such
    // element or the element has no value property.
    [[nodiscard]] virtual std::optional<QString> elementValue(const QString& id) const = 0;
    // A safe rendering for the page view: text, tables and the values of form controls, no script, no
    // resource, no link target.
    [[nodiscard]] virtual QString displayHtml() const = 0;
    // Why the load failed (no answer, an HTTP status, a page refused), for a failed load's document; nothing
    // for a page that was loaded.
    [[nodiscard]] virtual std::optional<QString> errorReason() const { return std::nullopt; }
};

// Loads one page at a time. Navigate returns at once; completed() is emitted when the new document is
// complete (ready state 4), a failed load giving an error document without the page's elements.
class PageComponent : public QObject {
    Q_OBJECT
public:
    enum ReadyStateValue { Uninitialized = 0, Loading = 1, Complete = 4 };

    using QObject::QObject;

    virtual void Navigate(const QString& url) = 0;
    [[nodiscard]] virtual int ReadyState() const = 0;
    // The current document; null before the first load.
    [[nodiscard]] virtual const PageDocument* Document() const = 0;
    // Whether the last completed load got an HTTP answer at all (any status). A load that got none is
    // followed by a pause before the next request, so a dead adapter is not hammered.
    [[nodiscard]] virtual bool lastLoadGotAnswer() const = 0;

signals:
    void completed();
};

} // namespace quorvel::acquisition
