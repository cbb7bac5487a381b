#pragma once

#include <QString>

namespace quorvel::runtime {

// Properties of the build that the program shows and uses as defaults.
struct AppInfo {
    static QString title() { return QStringLiteral("Quorvel-3"); }
    // The build ships no help file; the help commands report that.
    static QString helpFile() { return {}; }
    static int major();
    static int minor();
    static int revision();
};

} // namespace quorvel::runtime
