#include "owserverprocess.h"

#include "childprocess.h"
#include "scriptedserver.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QThread>

namespace quorvel::testing {

namespace {

QString program(const char* name)
{
    return QStandardPaths::findExecutable(QLatin1String(name),
                                          {QStringLiteral("/usr/bin"), QStringLiteral("/usr/sbin")});
}

} // namespace

OwserverProcess::OwserverProcess(QObject* parent) : QObject(parent), process_(new QProcess(this))
{
    process_->setProcessChannelMode(QProcess::MergedChannels);
    diesWithParent(process_);
}

OwserverProcess::~OwserverProcess()
{
    stop();
}

bool OwserverProcess::available()
{
    return !program("owserver").isEmpty() && !program("owread").isEmpty();
}

bool OwserverProcess::start(const QString& families)
{
    stop();
    port_ = ScriptedServer::unusedPort();
    // In the foreground it stays this process's child, whoever runs the test (root included).
    process_->start(program("owserver"), {QStringLiteral("--tester=") + families, QStringLiteral("-p"),
                                          QStringLiteral("127.0.0.1:%1").arg(port_),
                                          QStringLiteral("--foreground"), QStringLiteral("--error_level=0")});
    if (!process_->waitForStarted(10000))
        return false;
    for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QThread::msleep(50)) {
        if (process_->state() != QProcess::Running)
            return false;
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), port_);
        if (probe.waitForConnected(1000))
            return true;
    }
    return false;
}

void OwserverProcess::stop()
{
    endProcess(process_);
}

QString OwserverProcess::owread(const QString& path) const
{
    QProcess reader;
    reader.start(program("owread"), {QStringLiteral("-s"), QStringLiteral("127.0.0.1:%1").arg(port_), path});
    if (!reader.waitForFinished(10000) || reader.exitStatus() != QProcess::NormalExit ||
        reader.exitCode() != 0)
        return {};
    return QString::fromUtf8(reader.readAllStandardOutput()).trimmed();
}

} // namespace quorvel::testing
