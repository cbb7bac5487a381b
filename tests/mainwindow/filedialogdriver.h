#pragma once

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>

namespace quorvel::testing {

// Accepts the open-file dialog with this name once it is shown and afterMs have passed.
inline void acceptFileDialogWith(const QString& path, int afterMs = 0)
{
    QTimer::singleShot(afterMs, [path] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            acceptFileDialogWith(path);
            return;
        }
        dialog->selectFile(path);
        // selectFile leaves a focused name box alone when the file does not exist yet: type it there.
        if (dialog->selectedFiles().value(0) != path) {
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(path);
        }
        static_cast<QDialog*>(dialog)->accept();
    });
}

} // namespace quorvel::testing
