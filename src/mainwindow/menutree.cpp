#include "menutree.h"

namespace quorvel::mainwindow {

namespace {
MenuItemDef item(std::string_view name, std::string_view caption, std::string_view shortcut = {})
{
    return {name, caption, shortcut, false, true, 0, false};
}
MenuItemDef placeholder(std::string_view name, std::string_view caption, std::string_view shortcut = {})
{
    return {name, caption, shortcut, false, true, 0, true};
}
MenuItemDef separator(std::string_view name, bool visible = true)
{
    return {name, "-", {}, false, visible, 0, false};
}
MenuItemDef mru(int index)
{
    return {"mnuFileMRU", "", {}, false, false, index, false};
}
MenuItemDef checkedItem(std::string_view name, std::string_view caption)
{
    return {name, caption, {}, true, true, 0, false};
}
} // namespace

const std::vector<MenuDef>& menuTree()
{
    static const std::vector<MenuDef> tree{
        {"mnuFile",
         "&File",
         {placeholder("mnuFileNew", "&New", "Ctrl+N"),
          item("mnuFileOpen", "&Open..."),
          placeholder("mnuFileClose", "&Close"),
          separator("mnuFileBar0"),
          placeholder("mnuFileSave", "&Save"),
          placeholder("mnuFileSaveAs", "Save &As..."),
          placeholder("mnuFileSaveAll", "Save A&ll"),
          separator("mnuFileBar1"),
          placeholder("mnuFileProperties", "Propert&ies"),
          separator("mnuFileBar2"),
          item("mnuFilePageSetup", "Page Set&up..."),
          placeholder("mnuFilePrintPreview", "Print Pre&view"),
          placeholder("mnuFilePrint", "&Print..."),
          separator("mnuFileBar3"),
          placeholder("mnuFileSend", "Sen&d..."),
          separator("mnuFileBar4"),
          mru(1),
          mru(2),
          mru(3),
          separator("mnuFileBar5", false),
          item("mnuFileExit", "E&xit")}},
        {"mnuEdit",
         "&Edit",
         {placeholder("mnuEditUndo", "&Undo"), separator("mnuEditBar0"),
          placeholder("mnuEditCut", "Cu&t", "Ctrl+X"), placeholder("mnuEditCopy", "&Copy", "Ctrl+C"),
          placeholder("mnuEditPaste", "&Paste", "Ctrl+V"),
          placeholder("mnuEditPasteSpecial", "Paste &Special...")}},
        {"mnuView",
         "&View",
         {checkedItem("mnuViewToolbar", "&Toolbar"), checkedItem("mnuViewStatusBar", "Status &Bar"),
          separator("mnuViewBar0"), placeholder("mnuViewRefresh", "&Refresh"),
          placeholder("mnuViewOptions", "&Options..."), item("mnuViewWebBrowser", "&Web Browser")}},
        {"mnuHelp",
         "&Help",
         {item("mnuHelpContents", "&Contents"), item("mnuHelpSearchForHelpOn", "&Search For Help On..."),
          separator("mnuHelpBar0"), item("mnuHelpAbout", "&About ")}},
    };
    return tree;
}

const std::array<ToolbarButtonDef, 17>& toolbarButtons()
{
    using S = ButtonStyle;
    static const std::array<ToolbarButtonDef, 17> buttons{{
        {"New", S::Push},
        {"Open", S::Push},
        {"Save", S::Push},
        {{}, S::Separator},
        {"Print", S::Push},
        {{}, S::Separator},
        {"Cut", S::Push},
        {"Copy", S::Push},
        {"Paste", S::Push},
        {{}, S::Separator},
        {"Bold", S::Push},
        {"Italic", S::Push},
        {"Underline", S::Push},
        {{}, S::Separator},
        {"Align Left", S::Group},
        {"Center", S::Group},
        {"Align Right", S::Group},
    }};
    return buttons;
}

} // namespace quorvel::mainwindow
