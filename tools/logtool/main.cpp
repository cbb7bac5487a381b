#include "logtoolcommand.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

QtMessageHandler defaultHandler = nullptr;

// Qt looks for the session's runtime folder while it starts a platform and warns where XDG_RUNTIME_DIR is
// not set, as under cron or sudo; a plot needs no such folder, and the line reads like a fault.
void withoutRuntimeDirWarning(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg && message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    defaultHandler(type, context, message);
}

} // namespace

int main(int argc, char* argv[])
{
    // Every record's local time goes through the C library's time zone, which without TZ looks at
    // /etc/localtime again for each one; naming that file once reads the same zone without the look.
    if (qEnvironmentVariableIsEmpty("TZ") && !qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    // Only a plot needs fonts, hence a QGuiApplication; without a display the offscreen platform does.
    bool plot = false;
    for (int i = 1; i < argc; ++i)
        plot = plot || std::strcmp(argv[i], "plot") == 0;
    std::unique_ptr<QCoreApplication> app;
    if (plot) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        defaultHandler = qInstallMessageHandler(withoutRuntimeDirWarning);
        app = std::make_unique<QGuiApplication>(argc, argv);
        qInstallMessageHandler(defaultHandler);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    QFile out;
    QFile err;
    if (!out.open(stdout, QIODevice::WriteOnly) ||
        !err.open(stderr, QIODevice::WriteOnly | QIODevice::Unbuffered))
        return quorvel::logtool::LogToolCommand::Failure;
    const int status = quorvel::logtool::LogToolCommand::run(QCoreApplication::arguments(), out, err);
    out.flush();
    return status;
}
