#include "module1.h"

#include "runtime/appinfo.h"
#include "runtime/processcontrol.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    // Without a display the platform plugin would abort the process with a page of advice. Whatever the
    // command line holds (the program reads none of it), a start without one ends with one line.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("quorvel3: no display to show the window on: neither DISPLAY nor WAYLAND_DISPLAY is set "
                   "(QT_QPA_PLATFORM=offscreen runs it without one)\n",
                   stderr);
        return EXIT_FAILURE;
    }
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
