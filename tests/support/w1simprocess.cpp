#include "w1simprocess.h"

#include "childprocess.h"
#include "scratchdir.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {

constexpr int StartTimeoutMs = 10000;

} // namespace

W1SimProcess::W1SimProcess(QObject* parent) : QObject(parent), process_(new QProcess(this))
{
    process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
#ifdef Q_OS_LINUX
    process_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
}

W1SimProcess::~W1SimProcess()
{
    stop();
}

bool W1SimProcess::start(const QStringList& args)
{
    stop();
    const QString program = qEnvironmentVariable("QUORVEL_W1_SIM");
    if (program.isEmpty()) {
        skipReason_ = QStringLiteral("QUORVEL_W1_SIM is not set");
        return false;
    }
    if (!QFileInfo::exists(QStringLiteral("/dev/fuse"))) {
        skipReason_ = QStringLiteral("no /dev/fuse on this machine");
        return false;
    }
    dir_ = quorvel::testing::scratchDir(QStringLiteral("w1sim"));
    process_->start(program, args + QStringList{root()}, QIODevice::ReadOnly);
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!process_->canReadLine() && process_->state() != QProcess::NotRunning && !deadline.hasExpired())
        process_->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    if (!process_->canReadLine()) {
        skipReason_ = QStringLiteral("the simulator could not mount FUSE at %1 (no permission?)").arg(root());
        stop();
        return false;
    }
    process_->readLine();
    return true;
}

void W1SimProcess::stop()
{
    quorvel::testing::endProcess(process_, 10000);
}

QString W1SimProcess::root() const
{
    return dir_ ? dir_->path() : QString();
}

bool W1SimProcess::control(const QByteArray& commands)
{
    QFile file(root() + QStringLiteral("/control"));
    return file.open(QIODevice::WriteOnly) && file.write(commands) == commands.size() && file.flush();
}

std::pair<int, int> W1SimProcess::conversions() const
{
    QFile file(root() + QStringLiteral("/control"));
    if (!file.open(QIODevice::ReadOnly))
        return {-1, -1};
    const QList<QByteArray> lines = file.readAll().split('\n');
    const auto count = [&](int line) { return lines.value(line).split(' ').value(1).toInt(); };
    return {count(0), count(1)};
}
