#pragma once

#include <QString>

namespace quorvel::runtime {

// Properties of the build that the program shows and uses as defaults.
struct AppInfo {
    static QString title() { return QStringLiteral("Quorvel-3"); }
    // The build ships no help file, so this is empty and the help commands say so.
    static QString helpFile();
    static int major();
    static int minor();
    static int revision();
    // "major.minor.revision", as every program and the About box show it.
    static QString versionText();

    // For tests that reach the help viewer; nothing in the program sets a help file.
    static void overrideHelpFile(const QString& path);
    static void resetHelpFile();
};

} // namespace quorvel::runtime
