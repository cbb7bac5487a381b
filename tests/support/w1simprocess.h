#pragma once

#include "acquisition/sensorlist.h"
#include "childprocess.h"
#include "scratchdir.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <memory>

// Runs the 1-Wire tree simulator named by QUORVEL_W1_SIM over FUSE in a scratch folder for one test. Where
// FUSE cannot mount (no /dev/fuse, no permission) start() fails and skipReason() says why, for a QSKIP.
class W1SimProcess {
public:
    // SIGTERM, not SIGKILL: it unmounts its tree on the way out.
    W1SimProcess() { quorvel::testing::diesWithParent(&process_, SIGTERM); }
    ~W1SimProcess() { stop(); }

    bool start(const QStringList& args = {})
    {
        stop();
        const QString program = qEnvironmentVariable("QUORVEL_W1_SIM");
        if (program.isEmpty())
            return skip(QStringLiteral("QUORVEL_W1_SIM is not set"));
        if (!QFileInfo::exists(QStringLiteral("/dev/fuse")))
            return skip(QStringLiteral("no /dev/fuse on this machine"));
        dir_ = quorvel::testing::scratchDir(QStringLiteral("w1sim"));
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(program, args + QStringList{root()}, QIODevice::ReadOnly);
        // It prints a line once the tree is mounted.
        const QDeadlineTimer deadline(10000);
        while (!process_.canReadLine() && process_.state() != QProcess::NotRunning && !deadline.hasExpired())
            process_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        if (!process_.canReadLine()) {
            stop();
            return skip(
                QStringLiteral("the simulator could not mount FUSE at %1 (no permission?)").arg(root()));
        }
        process_.readLine();
        return true;
    }
    // A hung read may keep it a while: it unmounts before it ends.
    void stop() { quorvel::testing::endProcess(&process_, 10000); }
    [[nodiscard]] const QString& skipReason() const { return skipReason_; }
    // The mounted tree, as /sys/bus/w1/devices.
    [[nodiscard]] QString root() const { return dir_ ? dir_->path() : QString(); }
    // Writes commands to the control file ("fault 2 hang", "release" ...).
    bool control(const QByteArray& commands)
    {
        QFile file(root() + QStringLiteral("/control"));
        return file.open(QIODevice::WriteOnly) && file.write(commands) == commands.size() && file.flush();
    }
    // Conversions the sensors made one by one, and bulk conversions of the whole bus, so far.
    [[nodiscard]] std::pair<int, int> conversions() const
    {
        return {counted("conversions"), counted("bulk")};
    }
    // The sensors' EEPROM writes, and the master's searches, so far.
    [[nodiscard]] int eepromWrites() const { return counted("eeprom_writes"); }
    [[nodiscard]] int searches() const { return counted("searches"); }
    // Searches the bus once, as a recovery does: what ends a stick that a search ends.
    bool searchBus()
    {
        QFile file(root() + QStringLiteral("/w1_bus_master1/w1_master_search"));
        return file.open(QIODevice::WriteOnly) && file.write("1\n") == 2 && file.flush();
    }
    // The ROM codes of its sensors 1..count, in order.
    [[nodiscard]] static QStringList codes(int count)
    {
        QStringList codes;
        for (int i = 1; i <= count; ++i)
            codes.append(
                quorvel::acquisition::readRomCode(QStringLiteral("28-%1").arg(i, 12, 16, QLatin1Char('0')))
                    .romCode.value());
        return codes;
    }

private:
    // A count of the control file's statistics ("searches 2"), -1 if not there.
    [[nodiscard]] int counted(const QByteArray& name) const
    {
        QFile file(root() + QStringLiteral("/control"));
        if (!file.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (line.startsWith(name + ' '))
                return line.mid(name.size() + 1).toInt();
        return -1;
    }

    bool skip(const QString& reason)
    {
        skipReason_ = reason;
        return false;
    }

    QProcess process_;
    std::unique_ptr<QTemporaryDir> dir_;
    QString skipReason_;
};
