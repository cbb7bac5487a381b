#pragma once

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QTimer>

namespace quorvel::testing {

// Accepts the open-file dialog with this name as soon as it is shown.
inline void acceptFileDialogWith(const QString& path)
{
    QTimer::singleShot(0, [path] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            acceptFileDialogWith(path);
            return;
        }
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept();
    });
}

} // namespace quorvel::testing
