#include "menutree.h"

#include "frmmain.h"
#include "iconpaths.h"

namespace quorvel::mainwindow {

namespace {
using Handler = MenuItemDef::Handler;
MenuItemDef item(std::string_view name, std::string_view caption, Handler handler,
                 std::string_view shortcut = {})
{
    return {name, caption, shortcut, handler, false, true, 0};
}
MenuItemDef separator(std::string_view name, bool visible = true)
{
    return {name, "-", {}, nullptr, false, visible, 0};
}
MenuItemDef mru(int index)
{
    return {"mnuFileMRU", "", {}, nullptr, false, false, index};
}
MenuItemDef checkedItem(std::string_view name, std::string_view caption, Handler handler)
{
    return {name, caption, {}, handler, true, true, 0};
}
} // namespace

const std::vector<MenuDef>& menuTree()
{
    static const std::vector<MenuDef> tree{
        {"mnuFile",
         "&File",
         {item("mnuFileNew", "&New", &frmMain::mnuFileNew_Click, "Ctrl+N"),
          item("mnuFileOpen", "&Open...", &frmMain::mnuFileOpen_Click),
          item("mnuFileClose", "&Close", &frmMain::mnuFileClose_Click),
          separator("mnuFileBar0"),
          item("mnuFileSave", "&Save", &frmMain::mnuFileSave_Click),
          item("mnuFileSaveAs", "Save &As...", &frmMain::mnuFileSaveAs_Click),
          item("mnuFileSaveAll", "Save A&ll", &frmMain::mnuFileSaveAll_Click),
          separator("mnuFileBar1"),
          item("mnuFileProperties", "Propert&ies", &frmMain::mnuFileProperties_Click),
          separator("mnuFileBar2"),
          item("mnuFilePageSetup", "Page Set&up...", &frmMain::mnuFilePageSetup_Click),
          item("mnuFilePrintPreview", "Print Pre&view", &frmMain::mnuFilePrintPreview_Click),
          item("mnuFilePrint", "&Print...", &frmMain::mnuFilePrint_Click),
          separator("mnuFileBar3"),
          item("mnuFileSend", "Sen&d...", &frmMain::mnuFileSend_Click),
          separator("mnuFileBar4"),
          mru(1),
          mru(2),
          mru(3),
          separator("mnuFileBar5", false),
          item("mnuFileExit", "E&xit", &frmMain::mnuFileExit_Click)}},
        {"mnuEdit",
         "&Edit",
         {item("mnuEditUndo", "&Undo", &frmMain::mnuEditUndo_Click), separator("mnuEditBar0"),
          item("mnuEditCut", "Cu&t", &frmMain::mnuEditCut_Click, "Ctrl+X"),
          item("mnuEditCopy", "&Copy", &frmMain::mnuEditCopy_Click, "Ctrl+C"),
          item("mnuEditPaste", "&Paste", &frmMain::mnuEditPaste_Click, "Ctrl+V"),
          item("mnuEditPasteSpecial", "Paste &Special...", &frmMain::mnuEditPasteSpecial_Click)}},
        {"mnuView",
         "&View",
         {checkedItem("mnuViewToolbar", "&Toolbar", &frmMain::mnuViewToolbar_Click),
          checkedItem("mnuViewStatusBar", "Status &Bar", &frmMain::mnuViewStatusBar_Click),
          separator("mnuViewBar0"), item("mnuViewRefresh", "&Refresh", &frmMain::mnuViewRefresh_Click),
          item("mnuViewOptions", "&Options...", &frmMain::mnuViewOptions_Click),
          item("mnuViewWebBrowser", "&Web Browser", nullptr)}},
        {"mnuHelp",
         "&Help",
         {item("mnuHelpContents", "&Contents", &frmMain::mnuHelpContents_Click),
          item("mnuHelpSearchForHelpOn", "&Search For Help On...", &frmMain::mnuHelpSearchForHelpOn_Click),
          separator("mnuHelpBar0"), item("mnuHelpAbout", "&About ", &frmMain::mnuHelpAbout_Click)}},
    };
    return tree;
}

const std::array<ToolbarButtonDef, 17>& toolbarButtons()
{
    using S = ButtonStyle;
    // Each button's key is its picture's in the image list, in the same order.
    constexpr auto picture = [](std::size_t i) { return std::string_view(icons::toolbarPictures[i].key); };
    static const std::array<ToolbarButtonDef, 17> buttons{{
        {picture(0), S::Push},
        {picture(1), S::Push, &frmMain::mnuFileOpen_Click},
        {picture(2), S::Push, &frmMain::mnuFileSave_Click},
        {{}, S::Separator},
        {picture(3), S::Push, &frmMain::mnuFilePrint_Click},
        {{}, S::Separator},
        {picture(4), S::Push, &frmMain::mnuEditCut_Click},
        {picture(5), S::Push, &frmMain::mnuEditCopy_Click},
        {picture(6), S::Push, &frmMain::mnuEditPaste_Click},
        {{}, S::Separator},
        {picture(7), S::Push},
        {picture(8), S::Push},
        {picture(9), S::Push},
        {{}, S::Separator},
        {picture(10), S::Group},
        {picture(11), S::Group},
        {picture(12), S::Group},
    }};
    return buttons;
}

} // namespace quorvel::mainwindow
