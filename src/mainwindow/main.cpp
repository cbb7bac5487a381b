#include "module1.h"

#include "runtime/appinfo.h"
#include "runtime/processcontrol.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // The program takes nothing from its command line, and Qt would: -platform, -style, -reverse,
    // -qwindowgeometry and the like. The application sees the program name alone; the platform's
    // environment variables still apply.
    static char fallbackName[] = "quorvel3";
    char* programOnly[] = {argc > 0 && argv[0] ? argv[0] : fallbackName, nullptr};
    int programOnlyCount = 1;
    QApplication app(programOnlyCount, programOnly);
    quorvel::runtime::ProcessControl::ignoreFileSizeSignal();
    QApplication::setApplicationName(quorvel::runtime::AppInfo::title());
    QApplication::setOrganizationName(quorvel::runtime::AppInfo::title());
    QApplication::setApplicationVersion(quorvel::runtime::AppInfo::versionText());
    // Lets a Wayland desktop match the window to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.quorvel.Quorvel3"));
    QApplication::setQuitOnLastWindowClosed(false);
    quorvel::mainwindow::Module1::Main();
    return QApplication::exec();
}
