#pragma once

#include "fakes.h"
#include "filedialogdriver.h"
#include "mainwindow/frmmain.h"
#include "mainwindow/module1.h"
#include "mainwindow/pageview.h"
#include "mainwindow/statuspanels.h"
#include "mainwindow/toolbarimages.h"
#include "runtime/appinfo.h"
#include "runtime/commondialog.h"
#include "runtime/messagebox.h"
#include "runtime/processcontrol.h"
#include "runtime/settingskeys.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include <memory>
#include <optional>

namespace quorvel::testing {

using mainwindow::frmMain;
using mainwindow::Program;

// The program composed on the fake page component: every request is answered through the event loop at
// once (or when the test says, with autoComplete off), and no packet goes anywhere.
struct OnFakePages {
    std::unique_ptr<FakePage> owned = std::make_unique<FakePage>();
    FakePage& page = *owned;
    Program program{std::move(owned)};
    frmMain& w = program.window();
};

// A control of the window by its object name; a missing one ends the test run with its name.
template <class T> T* control(const QObject& window, const char* name)
{
    T* found = window.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("the window has no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

#define QUORVEL_CONTROL(Type, name)                                                                          \
    inline Type* name(const QObject& window)                                                                 \
    {                                                                                                        \
        return control<Type>(window, #name);                                                                 \
    }
QUORVEL_CONTROL(mainwindow::StatusPanels, sbStatusBar)
QUORVEL_CONTROL(QToolBar, tbToolBar)
QUORVEL_CONTROL(mainwindow::PageView, brwWebBrowser)
QUORVEL_CONTROL(QComboBox, cboAddress)
QUORVEL_CONTROL(QPushButton, btnFileWrite)
QUORVEL_CONTROL(QPushButton, btnStop)
QUORVEL_CONTROL(QLineEdit, txtSensorNum)
QUORVEL_CONTROL(QLabel, Label1)
QUORVEL_CONTROL(QLineEdit, txtTemperature)
QUORVEL_CONTROL(QLabel, Label2)
QUORVEL_CONTROL(QLineEdit, txtFileName)
QUORVEL_CONTROL(QLineEdit, txtRecNum)
QUORVEL_CONTROL(QLabel, Label3)
QUORVEL_CONTROL(runtime::CommonDialog, dlgCommonDialog)
QUORVEL_CONTROL(mainwindow::ToolbarImages, imlToolbarIcons)
QUORVEL_CONTROL(QTimer, timTimer)
#undef QUORVEL_CONTROL

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
                                           runtime::AppInfo::title(), runtime::AppInfo::title());
    }

    static void setSetting(QLatin1StringView key, const QString& value)
    {
        auto s = settings();
        s->setValue(runtime::settingskeys::path(key), value);
        s->sync();
    }
    static void setAdapter(const QString& address)
    {
        setSetting(runtime::settingskeys::AdapterAddress, address);
    }
};

} // namespace quorvel::testing
