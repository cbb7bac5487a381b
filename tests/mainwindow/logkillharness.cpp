// The logger's window, cycle and log writer in a process of their own, with logging switched on to the
// file named on the command line, so a test can kill it at any moment and inspect what is on disk.
#include "filedialogdriver.h"
#include "mainwindow/frmmain.h"
#include "mainwindow/module1.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: logkillharness LOGFILE\n");
        return 2;
    }
    // Composed as the start procedure composes it; it lives until the test kills the process.
    quorvel::mainwindow::Program program;
    quorvel::mainwindow::frmMain& window = program.window();
    window.Show();
    quorvel::testing::acceptFileDialogWith(QString::fromLocal8Bit(argv[1]));
    window.btnFileWrite_Click();
    if (window.LoggingActive() != -1) {
        std::fprintf(stderr, "logging did not start\n");
        return 1;
    }
    std::printf("logging\n");
    std::fflush(stdout);
    return QApplication::exec();
}
