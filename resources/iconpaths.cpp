#include "iconpaths.h"

#include <QBitmap>
#include <QImage>

namespace quorvel::icons {

QString toolbarPicturePath(const QString& key)
{
    for (const auto& picture : toolbarPictures) {
        if (key == QLatin1String(picture.key)) {
            return QString::fromLatin1(picture.path);
        }
    }
    return {};
}

QPixmap toolbarPixmap(const QString& key)
{
    const QString path = toolbarPicturePath(key);
    if (path.isEmpty()) {
        return {};
    }
    const QImage image(path);
    if (image.isNull()) {
        return {};
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setMask(QBitmap::fromImage(image.createMaskFromColor(toolbarMaskColour, Qt::MaskInColor)));
    return pixmap;
}

QIcon programIcon()
{
    QIcon icon;
    for (const auto& rendering : programIconRenderings) {
        icon.addFile(QString::fromLatin1(rendering.path), QSize(rendering.size, rendering.size));
    }
    return icon;
}

} // namespace quorvel::icons
