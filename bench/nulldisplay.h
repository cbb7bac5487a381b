#pragma once

#include "acquisition/cycledisplay.h"
#include "acquisition/htmldocument.h"

#include <QObject>

namespace quorvel::bench {

// A display that shows nothing, so the cycle and the page component are all that is measured. It only
// counts: pages, and error pages, which would make a fast figure meaningless.
class NullDisplay final : public QObject, public acquisition::CycleDisplay {
    Q_OBJECT
public:
    using QObject::QObject;

    [[nodiscard]] quint64 pages() const { return pages_; }
    [[nodiscard]] quint64 errorPages() const { return errorPages_; }

    void setAddressText(const QString&) override {}
    void appendAddressText() override {}
    [[nodiscard]] int addressCount() const override { return 0; }
    void removeOldestAddress() override {}
    void showPage(const acquisition::PageDocument* document) override
    {
        const auto* html = dynamic_cast<const acquisition::HtmlDocument*>(document);
        if (!html || html->errorReason())
            ++errorPages_;
    }
    void showMainWindow() override {}
    void setSensorNumberText(const QString&) override {}
    // The last display call of a page, so the page is complete when pageShown() is emitted.
    void setTemperatureText(const QString&) override { emit pageShown(++pages_); }
    void setRecordNumberText(const QString&) override {}
    void setLogWriteError(const QString&) override {}

signals:
    void pageShown(quint64 pages);

private:
    quint64 pages_ = 0;
    quint64 errorPages_ = 0;
};

} // namespace quorvel::bench
