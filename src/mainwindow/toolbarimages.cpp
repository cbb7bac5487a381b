#include "toolbarimages.h"

#include "iconpaths.h"

namespace quorvel::mainwindow {

ToolbarImages::ToolbarImages(QObject* parent) : QObject(parent)
{
    for (const auto& p : icons::toolbarPictures) {
        const QString key = QString::fromLatin1(p.key);
        keys_.append(key);
        pictures_.insert(key, icons::toolbarPixmap(key));
    }
}

} // namespace quorvel::mainwindow
