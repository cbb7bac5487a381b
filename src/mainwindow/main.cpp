#include "module1.h"

#include "runtime/appinfo.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(quorvel::runtime::AppInfo::title());
    QApplication::setOrganizationName(quorvel::runtime::AppInfo::title());
    QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                            .arg(quorvel::runtime::AppInfo::major())
                                            .arg(quorvel::runtime::AppInfo::minor())
                                            .arg(quorvel::runtime::AppInfo::revision()));
    // Lets a Wayland desktop match the window to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.quorvel.Quorvel3"));
    QApplication::setQuitOnLastWindowClosed(false);
    quorvel::mainwindow::Module1::Main();
    return QApplication::exec();
}
