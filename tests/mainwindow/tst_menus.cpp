#include "windowfixture.h"

#include "acquisition/acquisitioncycle.h"
#include "mainwindow/toolbarimages.h"
#include "runtime/appinfo.h"
#include "runtime/commondialog.h"
#include "runtime/helpviewer.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

using namespace quorvel;
using namespace quorvel::testing;

namespace {

struct Item {
    Item(const char* n, const char* c, const char* s = "", bool chk = false, bool vis = true)
        : name(QString::fromLatin1(n)), caption(QString::fromLatin1(c)), shortcut(QString::fromLatin1(s)),
          checked(chk), visible(vis)
    {
    }
    Item() = default;
    QString name;
    QString caption; // "-" for a separator
    QString shortcut;
    bool checked = false;
    bool visible = true;
};

// Runs check on the modal widget once it is up, then closes it with reject().
void onModal(std::function<void(QWidget*)> check)
{
    QTimer::singleShot(0, [check] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            onModal(check);
            return;
        }
        check(modal);
        if (auto* d = qobject_cast<QDialog*>(modal))
            d->reject();
        else
            modal->close();
    });
}

// Records what the help commands ask of the viewer instead of starting one.
class RecordingHelpViewer final : public runtime::HelpViewer {
public:
    runtime::Error show(const QString& helpFile, runtime::HelpCommand command) override
    {
        calls.append({helpFile, command});
        return failure;
    }
    QList<std::pair<QString, runtime::HelpCommand>> calls;
    runtime::Error failure;
};

QToolButton* buttonOf(frmMain& w, const QString& key)
{
    return qobject_cast<QToolButton*>(tbToolBar(w)->widgetForAction(w.toolbarButton(key)));
}

} // namespace

class tst_Menus : public QObject {
    Q_OBJECT
private slots:
    void menuTreeAsDesigned_data();
    void menuTreeAsDesigned();
    void toolbarAsDesigned();
    void placeholderByMenu_data();
    void placeholderByMenu();
    void placeholderByShortcut_data();
    void placeholderByShortcut();
    void toolbarDispatch_data();
    void toolbarDispatch();
    void alignmentGroupKeepsOnePressed();
    void unknownKeyDoesNothing();
    void viewTogglesTwice_data();
    void viewTogglesTwice();
    void webBrowserItemDoesNothing();
    void helpCommandsWithoutHelpFile_data();
    void helpCommandsWithoutHelpFile();
    void helpCommandsWithHelpFile_data();
    void helpCommandsWithHelpFile();
    void dialogSettingsCarryOver();
    void fileOpenFromToolbarOpensSameDialog();
    void aboutIsModalOverMainWindow();
    void cycleHoldsWhileBoxIsOpen();
};

void tst_Menus::menuTreeAsDesigned_data()
{
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QList<Item>>("items");
    QTest::newRow("File") << "mnuFile"
                          << "&File"
                          << QList<Item>{{"mnuFileNew", "&New", "Ctrl+N"},
                                         {"mnuFileOpen", "&Open..."},
                                         {"mnuFileClose", "&Close"},
                                         {"mnuFileBar0", "-"},
                                         {"mnuFileSave", "&Save"},
                                         {"mnuFileSaveAs", "Save &As..."},
                                         {"mnuFileSaveAll", "Save A&ll"},
                                         {"mnuFileBar1", "-"},
                                         {"mnuFileProperties", "Propert&ies"},
                                         {"mnuFileBar2", "-"},
                                         {"mnuFilePageSetup", "Page Set&up..."},
                                         {"mnuFilePrintPreview", "Print Pre&view"},
                                         {"mnuFilePrint", "&Print..."},
                                         {"mnuFileBar3", "-"},
                                         {"mnuFileSend", "Sen&d..."},
                                         {"mnuFileBar4", "-"},
                                         {"mnuFileMRU1", "", "", false, false},
                                         {"mnuFileMRU2", "", "", false, false},
                                         {"mnuFileMRU3", "", "", false, false},
                                         {"mnuFileBar5", "-", "", false, false},
                                         {"mnuFileExit", "E&xit"}};
    QTest::newRow("Edit") << "mnuEdit"
                          << "&Edit"
                          << QList<Item>{{"mnuEditUndo", "&Undo"},
                                         {"mnuEditBar0", "-"},
                                         {"mnuEditCut", "Cu&t", "Ctrl+X"},
                                         {"mnuEditCopy", "&Copy", "Ctrl+C"},
                                         {"mnuEditPaste", "&Paste", "Ctrl+V"},
                                         {"mnuEditPasteSpecial", "Paste &Special..."}};
    QTest::newRow("View") << "mnuView"
                          << "&View"
                          << QList<Item>{{"mnuViewToolbar", "&Toolbar", "", true},
                                         {"mnuViewStatusBar", "Status &Bar", "", true},
                                         {"mnuViewBar0", "-"},
                                         {"mnuViewRefresh", "&Refresh"},
                                         {"mnuViewOptions", "&Options..."},
                                         {"mnuViewWebBrowser", "&Web Browser"}};
    QTest::newRow("Help") << "mnuHelp"
                          << "&Help"
                          << QList<Item>{{"mnuHelpContents", "&Contents"},
                                         {"mnuHelpSearchForHelpOn", "&Search For Help On..."},
                                         {"mnuHelpBar0", "-"},
                                         {"mnuHelpAbout", "&About "}};
}

void tst_Menus::menuTreeAsDesigned()
{
    QFETCH(QString, menu);
    QFETCH(QString, caption);
    QFETCH(QList<Item>, items);
    WindowFixture fx;
    Program program;
    frmMain& w = program.window();
    QMenu* m = w.menuBar()->findChild<QMenu*>(menu);
    QVERIFY(m);
    QCOMPARE(m->title(), caption);
    const QList<QAction*> actions = m->actions();
    QCOMPARE(actions.size(), items.size());
    for (int i = 0; i < items.size(); ++i) {
        const Item& e = items[i];
        QAction* a = actions[i];
        QCOMPARE(a->objectName(), e.name);
        QCOMPARE(a->isSeparator(), e.caption == QLatin1String("-"));
        if (!a->isSeparator())
            QCOMPARE(a->text(), e.caption);
        QCOMPARE(a->shortcut(), QKeySequence(e.shortcut));
        QCOMPARE(a->isChecked(), e.checked);
        QCOMPARE(a->isCheckable(), e.checked);
        QCOMPARE(a->isVisible(), e.visible);
        // Qt reports a hidden action as disabled; every shown item is enabled.
        QCOMPARE(a->isEnabled(), e.visible);
    }
    // The top-level order of the menu bar.
    QStringList order;
    for (QAction* a : w.menuBar()->actions())
        order << a->menu()->objectName();
    QCOMPARE(order, (QStringList{"mnuFile", "mnuEdit", "mnuView", "mnuHelp"}));
}

void tst_Menus::toolbarAsDesigned()
{
    WindowFixture fx;
    Program program;
    frmMain& w = program.window();
    const QStringList expected{"New",       "Open", "Save",       "",       "Print",      "",
                               "Cut",       "Copy", "Paste",      "",       "Bold",       "Italic",
                               "Underline", "",     "Align Left", "Center", "Align Right"};
    const QList<QAction*> actions = tbToolBar(w)->actions();
    QCOMPARE(actions.size(), 17);
    for (int i = 0; i < 17; ++i) {
        QAction* a = actions[i];
        const QString key = expected[i];
        QCOMPARE(a->isSeparator(), key.isEmpty());
        if (key.isEmpty())
            continue;
        QCOMPARE(a->data().toString(), key);
        QCOMPARE(a->toolTip(), key);
        // The button shows the image list's picture for its key, not merely some picture.
        QCOMPARE(a->icon().pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32),
                 imlToolbarIcons(w)->picture(key).toImage().convertToFormat(QImage::Format_ARGB32));
        const bool group = key.startsWith(QLatin1String("Align")) || key == QLatin1String("Center");
        QCOMPARE(a->isCheckable(), group);
        QVERIFY(!a->isChecked());
    }
    QCOMPARE(imlToolbarIcons(w)->keys(),
             (QStringList{"New", "Open", "Save", "Print", "Cut", "Copy", "Paste", "Bold", "Italic",
                          "Underline", "Align Left", "Center", "Align Right"}));
    for (const QString& key : imlToolbarIcons(w)->keys()) {
        const QPixmap p = imlToolbarIcons(w)->picture(key);
        QCOMPARE(p.size(), QSize(16, 16));
        // The light-grey border pixels are transparent, the picture itself is not.
        const QImage img = p.toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(qAlpha(img.pixel(0, 0)), 0);
        int opaque = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                opaque += qAlpha(img.pixel(x, y)) == 255;
        QVERIFY2(opaque > 20, qPrintable(key));
    }
}

void tst_Menus::placeholderByMenu_data()
{
    QTest::addColumn<QString>("item");
    for (const char* n :
         {"mnuFileNew", "mnuFileClose", "mnuFileSave", "mnuFileSaveAs", "mnuFileSaveAll", "mnuFileProperties",
          "mnuFilePrintPreview", "mnuFilePrint", "mnuFileSend", "mnuEditUndo", "mnuEditCut", "mnuEditCopy",
          "mnuEditPaste", "mnuEditPasteSpecial", "mnuViewRefresh", "mnuViewOptions"})
        QTest::newRow(n) << n;
}

void tst_Menus::placeholderByMenu()
{
    QFETCH(QString, item);
    WindowFixture fx;
    fx.recordMessages();
    Program program;
    frmMain& w = program.window();
    w.menuItem(item)->trigger();
    QCOMPARE(fx.messages.size(), 1);
    QCOMPARE(fx.messages[0].prompt, QStringLiteral("Add '%1_Click' code.").arg(item));
    QCOMPARE(fx.messages[0].style, 0);
    QCOMPARE(fx.messages[0].title, QStringLiteral("Quorvel-3"));
}

void tst_Menus::placeholderByShortcut_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("message");
    QTest::newRow("Ctrl+N") << int(Qt::Key_N) << "Add 'mnuFileNew_Click' code.";
    QTest::newRow("Ctrl+X") << int(Qt::Key_X) << "Add 'mnuEditCut_Click' code.";
    QTest::newRow("Ctrl+C") << int(Qt::Key_C) << "Add 'mnuEditCopy_Click' code.";
    QTest::newRow("Ctrl+V") << int(Qt::Key_V) << "Add 'mnuEditPaste_Click' code.";
}

void tst_Menus::placeholderByShortcut()
{
    QFETCH(int, key);
    QFETCH(QString, message);
    WindowFixture fx;
    fx.recordMessages();
    Program program;
    frmMain& w = program.window();
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    btnStop(w)->setFocus();
    QTest::keyClick(&w, static_cast<Qt::Key>(key), Qt::ControlModifier);
    QCOMPARE(fx.messages.size(), 1);
    QCOMPARE(fx.messages[0].prompt, message);
    QVERIFY(!fx.exitCode.has_value());
}

void tst_Menus::toolbarDispatch_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("message");
    QTest::newRow("New") << "New"
                         << "Add 'New' button code.";
    QTest::newRow("Save") << "Save"
                          << "Add 'mnuFileSave_Click' code.";
    QTest::newRow("Print") << "Print"
                           << "Add 'mnuFilePrint_Click' code.";
    QTest::newRow("Cut") << "Cut"
                         << "Add 'mnuEditCut_Click' code.";
    QTest::newRow("Copy") << "Copy"
                          << "Add 'mnuEditCopy_Click' code.";
    QTest::newRow("Paste") << "Paste"
                           << "Add 'mnuEditPaste_Click' code.";
    QTest::newRow("Bold") << "Bold"
                          << "Add 'Bold' button code.";
    QTest::newRow("Italic") << "Italic"
                            << "Add 'Italic' button code.";
    QTest::newRow("Underline") << "Underline"
                               << "Add 'Underline' button code.";
    QTest::newRow("Align Left") << "Align Left"
                                << "Add 'Align Left' button code.";
    QTest::newRow("Center") << "Center"
                            << "Add 'Center' button code.";
    QTest::newRow("Align Right") << "Align Right"
                                 << "Add 'Align Right' button code.";
}

void tst_Menus::toolbarDispatch()
{
    QFETCH(QString, key);
    QFETCH(QString, message);
    WindowFixture fx;
    fx.recordMessages();
    Program program;
    frmMain& w = program.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QToolButton* b = buttonOf(w, key);
    QVERIFY(b);
    QTest::mouseClick(b, Qt::LeftButton);
    QCOMPARE(fx.messages.size(), 1);
    QCOMPARE(fx.messages[0].prompt, message);
    QCOMPARE(fx.messages[0].style, 0);
    QCOMPARE(fx.messages[0].title, QStringLiteral("Quorvel-3"));
}

void tst_Menus::alignmentGroupKeepsOnePressed()
{
    WindowFixture fx;
    fx.recordMessages();
    Program program;
    frmMain& w = program.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::mouseClick(buttonOf(w, QStringLiteral("Align Left")), Qt::LeftButton);
    QVERIFY(w.toolbarButton(QStringLiteral("Align Left"))->isChecked());
    QTest::mouseClick(buttonOf(w, QStringLiteral("Center")), Qt::LeftButton);
    QVERIFY(w.toolbarButton(QStringLiteral("Center"))->isChecked());
    QVERIFY(!w.toolbarButton(QStringLiteral("Align Left"))->isChecked());
    QVERIFY(!w.toolbarButton(QStringLiteral("Align Right"))->isChecked());
    QTest::mouseClick(buttonOf(w, QStringLiteral("Center")), Qt::LeftButton);
    QVERIFY(w.toolbarButton(QStringLiteral("Center"))->isChecked());
    QTest::mouseClick(buttonOf(w, QStringLiteral("Bold")), Qt::LeftButton);
    QTest::mouseClick(buttonOf(w, QStringLiteral("Bold")), Qt::LeftButton);
    QVERIFY(!w.toolbarButton(QStringLiteral("Bold"))->isChecked());
    const QStringList expected{"Add 'Align Left' button code.", "Add 'Center' button code.",
                               "Add 'Center' button code.", "Add 'Bold' button code.",
                               "Add 'Bold' button code."};
    QStringList prompts;
    for (const auto& m : fx.messages)
        prompts << m.prompt;
    QCOMPARE(prompts, expected);
}

void tst_Menus::unknownKeyDoesNothing()
{
    WindowFixture fx;
    fx.recordMessages();
    Program program;
    frmMain& w = program.window();
    for (const char* k : {"new", "NEW", "", "Align  Left", "Open ", "Exit"})
        w.tbToolBar_ButtonClick(QString::fromLatin1(k));
    QCOMPARE(fx.messages.size(), 0);
    QVERIFY(!fx.exitCode.has_value());
}

void tst_Menus::viewTogglesTwice_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("bar");
    QTest::newRow("toolbar") << "mnuViewToolbar"
                             << "tbToolBar";
    QTest::newRow("status bar") << "mnuViewStatusBar"
                                << "sbStatusBar";
}

void tst_Menus::viewTogglesTwice()
{
    QFETCH(QString, item);
    QFETCH(QString, bar);
    WindowFixture fx;
    Program program;
    frmMain& w = program.window();
    w.show();
    QWidget* b = w.client()->findChild<QWidget*>(bar);
    QAction* a = w.menuItem(item);
    QVERIFY(b->isVisible() && a->isChecked());
    a->trigger();
    QVERIFY(!a->isChecked());
    QVERIFY(!b->isVisible());
    a->trigger();
    QVERIFY(a->isChecked());
    QVERIFY(b->isVisible());
}

void tst_Menus::webBrowserItemDoesNothing()
{
    WindowFixture fx;
    fx.recordMessages();
    Program program;
    frmMain& w = program.window();
    w.menuItem(QStringLiteral("mnuViewWebBrowser"))->trigger();
    QCOMPARE(fx.messages.size(), 0);
    QVERIFY(!fx.exitCode.has_value());
}

void tst_Menus::helpCommandsWithoutHelpFile_data()
{
    QTest::addColumn<QString>("item");
    QTest::newRow("Contents") << "mnuHelpContents";
    QTest::newRow("Search") << "mnuHelpSearchForHelpOn";
}

void tst_Menus::helpCommandsWithoutHelpFile()
{
    QFETCH(QString, item);
    WindowFixture fx;
    fx.recordMessages();
    QVERIFY(runtime::AppInfo::helpFile().isEmpty());
    Program program;
    frmMain& w = program.window();
    const auto viewer = std::make_shared<RecordingHelpViewer>();
    w.setHelpViewer(viewer);
    w.menuItem(item)->trigger();
    QCOMPARE(fx.messages.size(), 1);
    QCOMPARE(
        fx.messages[0].prompt,
        QStringLiteral("Unable to display Help Contents. There is no Help associated with this project."));
    QCOMPARE(fx.messages[0].style, 64);
    QCOMPARE(fx.messages[0].title, QStringLiteral("Vintrel1"));
    QVERIFY(viewer->calls.isEmpty());
}

void tst_Menus::helpCommandsWithHelpFile_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<runtime::HelpCommand>("command");
    QTest::addColumn<bool>("viewerStarts");
    QTest::newRow("Contents") << "mnuHelpContents" << runtime::HelpCommand::Contents << true;
    QTest::newRow("Search") << "mnuHelpSearchForHelpOn" << runtime::HelpCommand::PartialKey << true;
    QTest::newRow("Contents, viewer fails") << "mnuHelpContents" << runtime::HelpCommand::Contents << false;
    QTest::newRow("Search, viewer fails")
        << "mnuHelpSearchForHelpOn" << runtime::HelpCommand::PartialKey << false;
}

void tst_Menus::helpCommandsWithHelpFile()
{
    QFETCH(QString, item);
    QFETCH(runtime::HelpCommand, command);
    QFETCH(bool, viewerStarts);
    const QString helpFile = QStringLiteral("/usr/share/doc/quorvel3/help.html");
    runtime::AppInfo::overrideHelpFile(helpFile);
    const auto restore = qScopeGuard([] { runtime::AppInfo::resetHelpFile(); });
    WindowFixture fx;
    fx.recordMessages();
    Program program;
    frmMain& w = program.window();
    const auto viewer = std::make_shared<RecordingHelpViewer>();
    if (!viewerStarts)
        viewer->failure = runtime::Failure{QStringLiteral("no viewer for this file")};
    w.setHelpViewer(viewer);

    w.menuItem(item)->trigger();

    QCOMPARE(viewer->calls.size(), 1);
    QCOMPARE(viewer->calls[0].first, helpFile);
    QCOMPARE(viewer->calls[0].second, command);
    if (viewerStarts) {
        QCOMPARE(fx.messages.size(), 0);
        return;
    }
    // The reason, plain: OK only, no icon, the application's title.
    QCOMPARE(fx.messages.size(), 1);
    QCOMPARE(fx.messages[0].prompt, QStringLiteral("no viewer for this file"));
    QCOMPARE(fx.messages[0].style, 0);
    QCOMPARE(fx.messages[0].title, QStringLiteral("Quorvel-3"));
}

void tst_Menus::dialogSettingsCarryOver()
{
    WindowFixture fx;
    Program program;
    frmMain& w = program.window();
    w.show();
    QStringList titles;
    auto recordTitle = [&titles](QWidget* modal) { titles << modal->windowTitle(); };

    // The logging chooser before any other command: no title of ours, a cancel starts nothing.
    onModal(recordTitle);
    w.btnFileWrite_Click();
    QCOMPARE(w.LoggingActive(), std::int16_t(0));
    QCOMPARE(btnFileWrite(w)->text(), QStringLiteral("Start Logging"));

    onModal(recordTitle);
    w.mnuFileOpen_Click();
    QCOMPARE(dlgCommonDialog(w)->DialogTitle(), QStringLiteral("Open"));
    QVERIFY(!dlgCommonDialog(w)->CancelError());
    QCOMPARE(dlgCommonDialog(w)->Filter(), QStringLiteral("All Files (*.*)|*.*"));

    bool printerShown = false;
    onModal([&](QWidget* modal) {
        printerShown = true;
        recordTitle(modal);
    });
    w.mnuFilePageSetup_Click();
    QVERIFY(printerShown);
    QCOMPARE(dlgCommonDialog(w)->DialogTitle(), QStringLiteral("Page Setup"));
    QVERIFY(dlgCommonDialog(w)->CancelError());

    // Page Setup left CancelError on: the chooser's cancel still leaves the program running.
    onModal(recordTitle);
    w.btnFileWrite_Click();
    QCOMPARE(dlgCommonDialog(w)->Filter(), QStringLiteral("all Files | *.*"));
    QCOMPARE(w.LoggingActive(), std::int16_t(0));
    QVERIFY(!fx.exitCode.has_value());

    onModal(recordTitle);
    w.mnuFileOpen_Click();
    onModal(recordTitle);
    w.btnFileWrite_Click();

    QCOMPARE(titles.size(), 6);
    QCOMPARE(titles[1], QStringLiteral("Open"));
    QCOMPARE(titles[2], QStringLiteral("Page Setup"));
    QCOMPARE(titles[3], QStringLiteral("Page Setup"));
    QCOMPARE(titles[5], QStringLiteral("Open"));
}

void tst_Menus::fileOpenFromToolbarOpensSameDialog()
{
    WindowFixture fx;
    fx.recordMessages();
    Program program;
    frmMain& w = program.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QString title;
    QString objectName;
    onModal([&](QWidget* m) {
        title = m->windowTitle();
        objectName = m->objectName();
    });
    QTest::mouseClick(buttonOf(w, QStringLiteral("Open")), Qt::LeftButton);
    QCOMPARE(title, QStringLiteral("Open"));
    QCOMPARE(objectName, QString::fromLatin1(runtime::CommonDialog::FileDialogName));
    QCOMPARE(fx.messages.size(), 0);
}

void tst_Menus::aboutIsModalOverMainWindow()
{
    WindowFixture fx;
    Program program;
    frmMain& w = program.window();
    w.show();
    QString caption;
    bool modal = false;
    QWidget* parent = nullptr;
    onModal([&](QWidget* m) {
        caption = m->windowTitle();
        modal = m->isModal();
        parent = m->parentWidget();
    });
    w.menuItem(QStringLiteral("mnuHelpAbout"))->trigger();
    QCOMPARE(caption, QStringLiteral("About Vintrel1"));
    QVERIFY(modal);
    QCOMPARE(parent, static_cast<QWidget*>(&w));
}

namespace {

// Runs then once the event loop has gone round this many times, each round running what the last one
// queued: time enough for fake pages that complete at once, without waiting real time.
void afterEventRounds(int rounds, QObject* context, const std::function<void()>& then)
{
    QTimer::singleShot(0, context, [rounds, context, then] {
        if (rounds <= 1)
            then();
        else
            afterEventRounds(rounds - 1, context, then);
    });
}

} // namespace

void tst_Menus::cycleHoldsWhileBoxIsOpen()
{
    WindowFixture fx;
    fx.setAdapter(QStringLiteral("127.0.0.1:8080"));
    // Pages as fast as the event loop goes: a cycle that did not hold would move on at once.
    OnFakePages fake;
    FakePage& page = fake.page;
    frmMain& w = fake.w;
    w.Show();
    QTRY_VERIFY_WITH_TIMEOUT(w.isVisible(), 5000);
    QString during;
    qsizetype requestsDuring = -1;
    bool frozen = false;
    // Should the box not be found below, it is still closed, so the test fails instead of hanging.
    QTimer::singleShot(5000, &w, [] {
        if (QWidget* box = QApplication::activeModalWidget())
            box->close();
    });
    QTimer::singleShot(0, &w, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (!box)
            return;
        during = txtSensorNum(w)->text();
        requestsDuring = page.navigations.size();
        // Many page times pass while the box is open; no request goes out and the sensor number stays.
        afterEventRounds(10, box, [&, box] {
            frozen = txtSensorNum(w)->text() == during && page.navigations.size() == requestsDuring;
            qobject_cast<QDialog*>(box)->accept();
        });
    });
    w.menuItem(QStringLiteral("mnuFileNew"))->trigger();
    QVERIFY(frozen);
    QTRY_VERIFY_WITH_TIMEOUT(txtSensorNum(w)->text() != during, 3000);
    QVERIFY(page.navigations.size() > requestsDuring);
    w.cycle().stop();
}

QTEST_MAIN(tst_Menus)
#include "tst_menus.moc"
