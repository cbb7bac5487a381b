#pragma once

#include "mainwindow/frmmain.h"
#include "runtime/messagebox.h"
#include "runtime/processcontrol.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <optional>

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

// A private settings location, a recorded end of process and recorded message boxes, so the window's
// paths that end the program or show a box can run in-process without touching the user's settings.
struct WindowFixture {
    QTemporaryDir settingsDir;
    std::optional<int> exitCode;
    QList<runtime::MessageRequest> messages;

    WindowFixture()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        runtime::ProcessControl::setEnder([this](int code) { exitCode = code; });
    }
    ~WindowFixture()
    {
        runtime::ProcessControl::resetEnder();
        runtime::MessageBox::resetPresenter();
    }
    WindowFixture(const WindowFixture&) = delete;
    WindowFixture& operator=(const WindowFixture&) = delete;

    void recordMessages()
    {
        runtime::MessageBox::setPresenter([this](const runtime::MessageRequest& r) {
            messages.append(r);
            return 1;
        });
    }

    static std::unique_ptr<QSettings> settings()
    {
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                           QStringLiteral("Quorvel-3"), QStringLiteral("Quorvel-3"));
    }

    static void setAdapter(const QString& address)
    {
        auto s = settings();
        s->setValue(QStringLiteral("Settings/AdapterAddress"), address);
        s->sync();
    }
};

} // namespace quorvel::testing
