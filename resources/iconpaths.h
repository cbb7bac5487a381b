#pragma once

#include <QIcon>
#include <QPixmap>
#include <QRgb>
#include <QString>

#include <array>

// Resource paths of the program's pictures, and the loaders that turn them into what the widgets draw.
namespace quorvel::icons {

struct ToolbarPicture {
    const char* key;
    const char* path;
};

// The toolbar's image list, in list order; buttons find their picture by key.
inline constexpr std::array<ToolbarPicture, 13> toolbarPictures{{
    {"New", ":/icons/toolbar/new.xpm"},
    {"Open", ":/icons/toolbar/open.xpm"},
    {"Save", ":/icons/toolbar/save.xpm"},
    {"Print", ":/icons/toolbar/print.xpm"},
    {"Cut", ":/icons/toolbar/cut.xpm"},
    {"Copy", ":/icons/toolbar/copy.xpm"},
    {"Paste", ":/icons/toolbar/paste.xpm"},
    {"Bold", ":/icons/toolbar/bold.xpm"},
    {"Italic", ":/icons/toolbar/italic.xpm"},
    {"Underline", ":/icons/toolbar/underline.xpm"},
    {"Align Left", ":/icons/toolbar/alignleft.xpm"},
    {"Center", ":/icons/toolbar/center.xpm"},
    {"Align Right", ":/icons/toolbar/alignright.xpm"},
}};

// Toolbar pixels of this colour are drawn transparent.
inline constexpr QRgb toolbarMaskColour = 0xFFC0C0C0;

// 32 x 32, 16 colours, transparent where the XPM says None.
inline constexpr const char* aboutIconPath = ":/icons/about.xpm";

// The drawing the PNG renderings were made from; the window icon uses the renderings.
inline constexpr const char* programIconPath = ":/icons/quorvel3.svg";

struct ProgramIconRendering {
    int size;
    const char* path;
};

inline constexpr std::array<ProgramIconRendering, 7> programIconRenderings{{
    {16, ":/icons/hicolor/16x16/apps/quorvel3.png"},
    {24, ":/icons/hicolor/24x24/apps/quorvel3.png"},
    {32, ":/icons/hicolor/32x32/apps/quorvel3.png"},
    {48, ":/icons/hicolor/48x48/apps/quorvel3.png"},
    {64, ":/icons/hicolor/64x64/apps/quorvel3.png"},
    {128, ":/icons/hicolor/128x128/apps/quorvel3.png"},
    {256, ":/icons/hicolor/256x256/apps/quorvel3.png"},
}};

// Empty for a key that is not in the image list.
[[nodiscard]] QString toolbarPicturePath(const QString& key);

// The picture with the mask colour made transparent; a null pixmap for an unknown key.
[[nodiscard]] QPixmap toolbarPixmap(const QString& key);

// All renderings of the program icon, for the window icon.
[[nodiscard]] QIcon programIcon();

} // namespace quorvel::icons
