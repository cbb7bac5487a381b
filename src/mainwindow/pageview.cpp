#include "pageview.h"

#include <utility>

namespace quorvel::mainwindow {

PageView::PageView(QWidget* parent) : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setReadOnly(true);
    setUndoRedoEnabled(false);

    cooldown_.setSingleShot(true);
    cooldown_.setInterval(MinIntervalMs);
    connect(&cooldown_, &QTimer::timeout, this, [this] {
        if (!pending_)
            return;
        pending_ = false;
        setHtml(pendingHtml_);
        cooldown_.start();
    });
}

QVariant PageView::loadResource(int, const QUrl&)
{
    return {};
}

void PageView::showHtml(QString html)
{
    if (cooldown_.isActive()) {
        pendingHtml_ = std::move(html);
        pending_ = true;
        return;
    }
    setHtml(html);
    cooldown_.start();
}

void PageView::dropPending()
{
    cooldown_.stop();
    pending_ = false;
    pendingHtml_.clear();
}

} // namespace quorvel::mainwindow
