#include "frmmain.h"

#include "menutree.h"
#include "statuspanels.h"
#include "toolbarimages.h"

#include "about/frmabout.h"
#include "runtime/appinfo.h"
#include "runtime/commondialog.h"
#include "runtime/helpviewer.h"
#include "runtime/messagebox.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>

#include <utility>

namespace quorvel::mainwindow {

namespace {

QString text(std::string_view s)
{
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

void frmMain::createMenus()
{
    for (const MenuDef& menuDef : menuTree()) {
        QMenu* menu = menuBar()->addMenu(text(menuDef.caption));
        menu->setObjectName(text(menuDef.name));
        for (const MenuItemDef& def : menuDef.items) {
            QAction* action = nullptr;
            if (def.caption == "-") {
                action = menu->addSeparator();
                action->setObjectName(text(def.name));
            } else {
                action = menu->addAction(text(def.caption));
                action->setObjectName(def.index ? text(def.name) + QString::number(def.index)
                                                : text(def.name));
            }
            action->setVisible(def.visible);
            if (!def.shortcut.empty()) {
                action->setShortcut(QKeySequence(text(def.shortcut)));
                action->setShortcutContext(Qt::WindowShortcut);
            }
            if (def.checked) {
                action->setCheckable(true);
                action->setChecked(true);
            }
            if (!def.handler)
                continue;
            connect(action, &QAction::triggered, this, [this, action, handler = def.handler] {
                // The handler sets the check mark itself; undo the toggle the menu already made.
                if (action->isCheckable())
                    action->setChecked(!action->isChecked());
                (this->*handler)();
            });
        }
    }
}

void frmMain::createToolbar()
{
    tbToolBar->setMovable(false);
    tbToolBar->setFloatable(false);
    tbToolBar->setIconSize(QSize(16, 16));
    tbToolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    tbToolBar->setContentsMargins(0, 0, 0, 0);
    tbToolBar->setStyleSheet(QStringLiteral("QToolBar { border: none; padding: 0px; spacing: 0px; }"
                                            "QToolButton { padding: 0px; margin: 0px; }"));
    auto* alignGroup = new QActionGroup(this);
    alignGroup->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
    for (const ToolbarButtonDef& def : toolbarButtons()) {
        if (def.style == ButtonStyle::Separator) {
            tbToolBar->addSeparator();
            continue;
        }
        const QString key = text(def.key);
        auto* action = new QAction(QIcon(imlToolbarIcons->picture(key)), key, tbToolBar);
        action->setObjectName(key);
        action->setData(key);
        action->setToolTip(key);
        if (def.style == ButtonStyle::Group) {
            action->setCheckable(true);
            alignGroup->addAction(action);
        }
        tbToolBar->addAction(action);
    }
    connect(tbToolBar, &QToolBar::actionTriggered, this,
            [this](QAction* action) { tbToolBar_ButtonClick(action->data().toString()); });
}

QAction* frmMain::menuItem(const QString& name) const
{
    const auto actions = menuBar()->findChildren<QAction*>(name);
    return actions.isEmpty() ? nullptr : actions.first();
}

QAction* frmMain::toolbarButton(const QString& key) const
{
    for (QAction* a : tbToolBar->actions())
        if (a->data().toString() == key)
            return a;
    return nullptr;
}

void frmMain::placeholder(const char* handlerStem)
{
    runtime::MessageBox::show(QStringLiteral("Add '%1_Click' code.").arg(QLatin1String(handlerStem)),
                              runtime::MsgStyle::OkOnly);
}

void frmMain::mnuFileNew_Click()
{
    placeholder("mnuFileNew");
}
void frmMain::mnuFileClose_Click()
{
    placeholder("mnuFileClose");
}
void frmMain::mnuFileSave_Click()
{
    placeholder("mnuFileSave");
}
void frmMain::mnuFileSaveAs_Click()
{
    placeholder("mnuFileSaveAs");
}
void frmMain::mnuFileSaveAll_Click()
{
    placeholder("mnuFileSaveAll");
}
void frmMain::mnuFileProperties_Click()
{
    placeholder("mnuFileProperties");
}
void frmMain::mnuFilePrintPreview_Click()
{
    placeholder("mnuFilePrintPreview");
}
void frmMain::mnuFilePrint_Click()
{
    placeholder("mnuFilePrint");
}
void frmMain::mnuFileSend_Click()
{
    placeholder("mnuFileSend");
}
void frmMain::mnuEditUndo_Click()
{
    placeholder("mnuEditUndo");
}
void frmMain::mnuEditCut_Click()
{
    placeholder("mnuEditCut");
}
void frmMain::mnuEditCopy_Click()
{
    placeholder("mnuEditCopy");
}
void frmMain::mnuEditPaste_Click()
{
    placeholder("mnuEditPaste");
}
void frmMain::mnuEditPasteSpecial_Click()
{
    placeholder("mnuEditPasteSpecial");
}
void frmMain::mnuViewRefresh_Click()
{
    placeholder("mnuViewRefresh");
}
void frmMain::mnuViewOptions_Click()
{
    placeholder("mnuViewOptions");
}

void frmMain::mnuFileOpen_Click()
{
    dlgCommonDialog->setDialogTitle(QStringLiteral("Open"));
    dlgCommonDialog->setCancelError(false);
    dlgCommonDialog->setFilter(QStringLiteral("All Files (*.*)|*.*"));
    // The chosen name, if any, is neither stored nor opened.
    (void)dlgCommonDialog->ShowOpen(this);
}

void frmMain::mnuFilePageSetup_Click()
{
    dlgCommonDialog->setDialogTitle(QStringLiteral("Page Setup"));
    dlgCommonDialog->setCancelError(true);
    // A cancel is passed over; the printer choices are not used.
    (void)dlgCommonDialog->ShowPrinter(this);
}

void frmMain::mnuViewToolbar_Click()
{
    QAction* item = menuItem(QStringLiteral("mnuViewToolbar"));
    item->setChecked(!item->isChecked());
    tbToolBar->setVisible(item->isChecked());
}

void frmMain::mnuViewStatusBar_Click()
{
    QAction* item = menuItem(QStringLiteral("mnuViewStatusBar"));
    item->setChecked(!item->isChecked());
    sbStatusBar->setVisible(item->isChecked());
}

void frmMain::setHelpViewer(std::shared_ptr<runtime::HelpViewer> viewer)
{
    helpViewer_ = std::move(viewer);
}

void frmMain::showHelp(runtime::HelpCommand command)
{
    const QString helpFile = runtime::AppInfo::helpFile();
    if (helpFile.isEmpty()) {
        runtime::MessageBox::show(
            QStringLiteral("Unable to display Help Contents. There is no Help associated with this project."),
            runtime::MsgStyle::Information, windowTitle(), this);
        return;
    }
    // The viewer's own trouble with the file is its to report; only a viewer that did not start is ours.
    if (const auto error = helpViewer_->show(helpFile, command))
        runtime::MessageBox::show(error->reason, runtime::MsgStyle::OkOnly);
}

void frmMain::mnuHelpContents_Click()
{
    showHelp(runtime::HelpCommand::Contents);
}
void frmMain::mnuHelpSearchForHelpOn_Click()
{
    showHelp(runtime::HelpCommand::PartialKey);
}

void frmMain::mnuHelpAbout_Click()
{
    about::frmAbout::instance(this)->ShowModal(this);
}

void frmMain::tbToolBar_ButtonClick(const QString& key)
{
    for (const ToolbarButtonDef& def : toolbarButtons()) {
        if (def.key.empty() || key != text(def.key))
            continue;
        if (def.handler)
            (this->*def.handler)();
        else
            runtime::MessageBox::show(QStringLiteral("Add '%1' button code.").arg(key),
                                      runtime::MsgStyle::OkOnly);
        return;
    }
}

} // namespace quorvel::mainwindow
