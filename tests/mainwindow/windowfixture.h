#pragma once

#include "filedialogdriver.h"
#include "mainwindow/frmmain.h"
#include "runtime/messagebox.h"
#include "runtime/processcontrol.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

namespace quorvel::testing {

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
