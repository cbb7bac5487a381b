#pragma once

#include <QHash>
#include <QObject>
#include <QPixmap>
#include <QStringList>

namespace quorvel::mainwindow {

// The toolbar's image list: its pictures under their keys, with the mask colour made transparent.
class ToolbarImages : public QObject {
    Q_OBJECT
public:
    explicit ToolbarImages(QObject* parent = nullptr);

    [[nodiscard]] QPixmap picture(const QString& key) const { return pictures_.value(key); }
    [[nodiscard]] const QStringList& keys() const { return keys_; }

private:
    QStringList keys_;
    QHash<QString, QPixmap> pictures_;
};

} // namespace quorvel::mainwindow
