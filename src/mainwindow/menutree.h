#pragma once

#include <array>
#include <string_view>
#include <vector>

namespace quorvel::mainwindow {

class frmMain;

// The menu bar's tree and the toolbar's buttons as data, so the window builds them in one place.
struct MenuItemDef {
    using Handler = void (frmMain::*)();

    std::string_view name;     // the object name; an array member adds its index
    std::string_view caption;  // "-" is a separator
    std::string_view shortcut; // empty: none
    Handler handler = nullptr; // runs when the item is chosen; none for separators and the MRU entries
    bool checked = false;
    bool visible = true;
    int index = 0; // members of an item array carry their index (mnuFileMRU 1..3)
};

struct MenuDef {
    std::string_view name;
    std::string_view caption;
    std::vector<MenuItemDef> items;
};

[[nodiscard]] const std::vector<MenuDef>& menuTree();

enum class ButtonStyle { Push, Separator, Group };

struct ToolbarButtonDef {
    std::string_view key; // key, tooltip and picture key (the image list's); empty for a separator
    ButtonStyle style;
    // What a click runs; none for a separator and for the buttons that only say they have no code yet.
    MenuItemDef::Handler handler = nullptr;
};

[[nodiscard]] const std::array<ToolbarButtonDef, 17>& toolbarButtons();

} // namespace quorvel::mainwindow
