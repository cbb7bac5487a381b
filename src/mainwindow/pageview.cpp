#include "pageview.h"

namespace quorvel::mainwindow {

PageView::PageView(QWidget* parent) : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setReadOnly(true);
    setUndoRedoEnabled(false);
}

QVariant PageView::loadResource(int, const QUrl&)
{
    return {};
}

} // namespace quorvel::mainwindow
