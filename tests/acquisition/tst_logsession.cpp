#include "logfile/logsession.h"
#include "runtime/localeformats.h"
#include "scratchdir.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using quorvel::acquisition::encodeLogLine;
using quorvel::acquisition::LogSession;
using quorvel::testing::writeFile;

namespace {

QByteArray contents(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return f.readAll();
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool makeNode(const QString& path, mode_t kind)
{
    return ::mknod(QFile::encodeName(path).constData(), kind | 0600, 0) == 0;
}

// The loss line as the session words it, with the time it gives.
QString lossText(const LogSession& session, int error)
{
    const QString since = QLocale().toString(session.lostSince().time(), quorvel::runtime::longTimeFormat());
    const QString what = session.lostRecords() == 1 ? QStringLiteral("1 record")
                                                    : QStringLiteral("%1 records").arg(session.lostRecords());
    return QStringLiteral("%1 could not be written since %2: %3").arg(what, since, systemReason(error));
}

const QByteArray first = "3/14/2007 10:05:42 PM,  23.5625  , -10.125 \r\n";
const QByteArray second = "3/14/2007 10:05:43 PM,  23.5    , -10 \r\n";

} // namespace

class TestLogSession : public QObject {
    Q_OBJECT
private slots:
    void init();

    void appendsToWhatIsThere_data();
    void appendsToWhatIsThere();
    void twoPeriodsInOneFile();
    void unopenable_data();
    void unopenable();
    void failedOpenClosesThePreviousFile();
    void failedWrite_data();
    void failedWrite();
    void writeWithoutFile();
    void pathChangesWhileLogging_data();
    void pathChangesWhileLogging();
    void shortWriteIsUndone_data();
    void shortWriteIsUndone();
    void killTearsAtMostTheLastLine();

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestLogSession::init()
{
    dir_ = quorvel::testing::scratchDir(QStringLiteral("logsession"));
    QVERIFY(dir_->isValid());
}

void TestLogSession::appendsToWhatIsThere_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("new file") << false << QByteArray() << first + second;
    QTest::newRow("empty file") << true << QByteArray() << first + second;
    QTest::newRow("whole lines") << true << QByteArray("old line\r\n") << "old line\r\n" + first + second;
    QTest::newRow("last line ends in LF only") << true << QByteArray("old\n") << "old\n" + first + second;
    QTest::newRow("torn last line") << true << QByteArray("old line\r\n3/14/2007 10:0")
                                    << "old line\r\n3/14/2007 10:0\r\n" + first + second;
    QTest::newRow("torn after CR") << true << QByteArray("old line\r") << "old line\r\r\n" + first + second;
    QTest::newRow("one byte, torn") << true << QByteArray("x") << "x\r\n" + first + second;
}

void TestLogSession::appendsToWhatIsThere()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);

    const QString path = dir_->filePath(QStringLiteral("log.txt"));
    if (exists)
        QVERIFY(writeFile(path, before));

    LogSession session;
    QCOMPARE(session.open(path), std::nullopt);
    // Nothing is written at open, not even the break for a torn line.
    QCOMPARE(contents(path), before);
    QCOMPARE(session.writeRecord(first), std::nullopt);
    QCOMPARE(session.writeRecord(second), std::nullopt);
    session.close();
    QCOMPARE(contents(path), after);
}

void TestLogSession::twoPeriodsInOneFile()
{
    const QString path = dir_->filePath(QStringLiteral("periods.log"));
    LogSession session;
    QSignalSpy changes(&session, &LogSession::loggingActiveChanged);
    QCOMPARE(session.LoggingActive(), std::int16_t(0));

    QCOMPARE(session.open(path), std::nullopt);
    QCOMPARE(session.LoggingActive(), std::int16_t(-1));
    QCOMPARE(session.writeRecord(first), std::nullopt);
    session.close();
    QCOMPARE(session.LoggingActive(), std::int16_t(0));
    session.close();
    QCOMPARE(session.LoggingActive(), std::int16_t(0));

    QCOMPARE(session.open(path), std::nullopt);
    QCOMPARE(session.LoggingActive(), std::int16_t(-1));
    QCOMPARE(session.writeRecord(second), std::nullopt);
    session.close();

    QCOMPARE(contents(path), first + second);
    QCOMPARE(session.path(), path);
    QCOMPARE(changes.size(), 4);
    const QList<std::int16_t> expected{-1, 0, -1, 0};
    for (qsizetype i = 0; i < changes.size(); ++i)
        QCOMPARE(changes.at(i).at(0).value<std::int16_t>(), expected.at(i));
}

void TestLogSession::unopenable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");

    QTest::newRow("directory") << "directory" << systemReason(EISDIR);
    QTest::newRow("missing folder") << "missing folder" << systemReason(ENOENT);
    QTest::newRow("read-only file") << "read-only file" << systemReason(EACCES);
    // Refused at once: a FIFO's open would wait for a reader, a socket is no file to append to.
    const QString fifo = QStringLiteral("is a FIFO, not a regular file");
    QTest::newRow("FIFO without a reader") << "FIFO" << fifo;
    QTest::newRow("FIFO with a reader") << "FIFO read" << fifo;
    QTest::newRow("socket") << "socket" << QStringLiteral("is a socket, not a regular file");
}

void TestLogSession::unopenable()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);

    QString path;
    int held = -1;
    if (kind.startsWith(QLatin1String("FIFO")) || kind == QLatin1String("socket")) {
        path = dir_->filePath(QStringLiteral("special"));
        QVERIFY(makeNode(path, kind == QLatin1String("socket") ? S_IFSOCK : S_IFIFO));
        if (kind == QLatin1String("FIFO read"))
            QVERIFY((held = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK)) >= 0);
    } else if (kind == QLatin1String("directory")) {
        path = dir_->filePath(QStringLiteral("folder"));
        QVERIFY(QDir().mkdir(path));
    } else if (kind == QLatin1String("missing folder")) {
        path = dir_->filePath(QStringLiteral("no such folder/log.txt"));
    } else {
        if (::geteuid() == 0)
            QSKIP("running as root: a read-only file is writable anyway");
        path = dir_->filePath(QStringLiteral("readonly.log"));
        QVERIFY(writeFile(path, "kept\r\n"));
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0444) == 0);
    }

    LogSession session;
    QSignalSpy changes(&session, &LogSession::loggingActiveChanged);
    const quorvel::runtime::Error message = session.open(path);
    QVERIFY(message.has_value());
    QCOMPARE(message->reason, QStringLiteral("The log file %1 cannot be opened: %2").arg(path, reason));
    QCOMPARE(session.LoggingActive(), std::int16_t(0));
    QVERIFY(session.writeRecord(first).has_value());
    QCOMPARE(changes.size(), 0);
    if (held >= 0)
        ::close(held);
    if (kind == QLatin1String("read-only file"))
        QCOMPARE(contents(path), QByteArray("kept\r\n"));
    if (kind == QLatin1String("missing folder"))
        QVERIFY(!QFileInfo::exists(path));
}

void TestLogSession::failedOpenClosesThePreviousFile()
{
    const QString good = dir_->filePath(QStringLiteral("good.log"));
    LogSession session;
    QCOMPARE(session.open(good), std::nullopt);
    QVERIFY(session.open(dir_->path()).has_value());
    QCOMPARE(session.LoggingActive(), std::int16_t(0));
    QVERIFY(session.writeRecord(first).has_value());
    QCOMPARE(contents(good), QByteArray());
}

void TestLogSession::failedWrite_data()
{
    QTest::addColumn<QString>("path"); // empty: a file, a FIFO nobody reads in its place after a record
    QTest::addColumn<QString>("reason");
    QTest::newRow("full device") << "/dev/full" << systemReason(ENOSPC);
    // A rotation gone wrong: the record fails at once, where the open would have waited for ever.
    QTest::newRow("FIFO swapped in") << QString() << "is a FIFO, not a regular file";
}

// A failed write leaves logging on; the cycle goes on with the next sweep.
void TestLogSession::failedWrite()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    if (!path.isEmpty() && !QFileInfo::exists(path))
        QSKIP("this system has no /dev/full");
    LogSession session;
    QCOMPARE(session.open(path.isEmpty() ? dir_->filePath(QStringLiteral("log.txt")) : path), std::nullopt);
    if (path.isEmpty()) {
        QCOMPARE(session.writeRecord(first), std::nullopt);
        QVERIFY(QFile::remove(session.path()) && makeNode(session.path(), S_IFIFO));
    }
    const quorvel::runtime::Error message = session.writeRecord(second);
    QVERIFY(message.has_value());
    QCOMPARE(message->reason, QStringLiteral("The log write failed: ") + reason);
    QCOMPARE(session.LoggingActive(), std::int16_t(-1));
    QCOMPARE(session.lostRecords(), qint64(1));
    QVERIFY(session.writeRecord(second).has_value());
}

void TestLogSession::writeWithoutFile()
{
    LogSession session;
    QSignalSpy changes(&session, &LogSession::loggingActiveChanged);
    session.close();
    QCOMPARE(changes.size(), 0);
    QVERIFY(session.writeRecord(first).has_value());
    QCOMPARE(session.LoggingActive(), std::int16_t(0));
}

void TestLogSession::pathChangesWhileLogging_data()
{
    QTest::addColumn<QString>("change");
    // Records that fail before the path can be opened again.
    QTest::addColumn<int>("failures");
    QTest::addColumn<QByteArray>("atPath");

    QTest::newRow("renamed away") << "rename" << 0 << second;
    QTest::newRow("deleted") << "delete" << 0 << second;
    // Whatever now stands at the path is appended to, its torn last line mended as at any start.
    QTest::newRow("replaced by another file") << "replace" << 0 << QByteArray("other\r\n") + second;
    QTest::newRow("folder removed, then back") << "remove folder" << 2 << second;
}

void TestLogSession::pathChangesWhileLogging()
{
    QFETCH(QString, change);
    QFETCH(int, failures);
    QFETCH(QByteArray, atPath);

    const QString folder = dir_->filePath(QStringLiteral("logs"));
    QVERIFY(QDir().mkdir(folder));
    const QString path = folder + QStringLiteral("/log.txt");
    const QString moved = dir_->filePath(QStringLiteral("log.txt.1"));
    LogSession session;
    QCOMPARE(session.open(path), std::nullopt);
    QCOMPARE(session.writeRecord(first), std::nullopt);
    QCOMPARE(session.report(), QString());

    if (change == QLatin1String("rename")) {
        QVERIFY(QFile::rename(path, moved));
    } else if (change == QLatin1String("delete")) {
        QVERIFY(QFile::remove(path));
    } else if (change == QLatin1String("replace")) {
        const QString other = dir_->filePath(QStringLiteral("other"));
        QVERIFY(writeFile(other, "other"));
        QVERIFY(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()) == 0);
    } else {
        QVERIFY(QDir(folder).removeRecursively());
    }

    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    for (int i = 0; i < failures; ++i) {
        const quorvel::runtime::Error message = session.writeRecord(second);
        QVERIFY(message);
        QCOMPARE(message->reason, QStringLiteral("The log write failed: ") + systemReason(ENOENT));
        // Logging stays on: the next record tries again.
        QCOMPARE(session.LoggingActive(), std::int16_t(-1));
        QCOMPARE(session.report(), lossText(session, ENOENT));
    }
    if (failures > 0)
        QVERIFY(QDir().mkdir(folder));
    QCOMPARE(session.writeRecord(second), std::nullopt);
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    QCOMPARE(contents(path), atPath);
    if (change == QLatin1String("rename"))
        QCOMPARE(contents(moved), first);
    QCOMPARE(session.lostRecords(), qint64(failures));
    const QDateTime started = session.newFileStarted();
    QVERIFY(started >= before && started <= after);
    const QString notice =
        QStringLiteral("A new log file was started at %1: %2")
            .arg(QLocale().toString(started.time(), quorvel::runtime::longTimeFormat()), path);
    // The losses stay told after writing has resumed, the new file beside them.
    if (failures > 0) {
        QVERIFY(session.lostSince() >= before && session.lostSince() <= started);
        QCOMPARE(session.report(), lossText(session, ENOENT) + QStringLiteral(". ") + notice);
    } else {
        QCOMPARE(session.report(), notice);
    }

    // The new file is the file from now on: no second start.
    QCOMPARE(session.writeRecord(first), std::nullopt);
    QCOMPARE(session.newFileStarted(), started);
    QCOMPARE(contents(path), atPath + first);

    // Stop keeps what there is to tell; the next start forgets it.
    session.close();
    QCOMPARE(session.lostRecords(), qint64(failures));
    QVERIFY(!session.report().isEmpty());
    QCOMPARE(session.open(path), std::nullopt);
    QCOMPARE(session.report(), QString());
    QCOMPARE(session.lostRecords(), qint64(0));
    QVERIFY(!session.newFileStarted().isValid());
}

void TestLogSession::shortWriteIsUndone_data()
{
    QTest::addColumn<QByteArray>("before");
    // Bytes the file may grow by before the size limit stops the write.
    QTest::addColumn<int>("room");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("cut in the record") << QByteArray("old\r\n") << 10 << "old\r\n" + second;
    QTest::newRow("no room at all") << QByteArray("old\r\n") << 0 << "old\r\n" + second;
    // The mending line break of a torn file went out, the record did not: both are taken back, and the
    // next record mends the file again.
    QTest::newRow("cut after the mending CR") << QByteArray("torn") << 1 << "torn\r\n" + second;
    QTest::newRow("cut after the mending CR LF") << QByteArray("torn") << 2 << "torn\r\n" + second;
}

// The file size limit makes the kernel take part of a write and refuse the rest, as a full disk does.
void TestLogSession::shortWriteIsUndone()
{
    QFETCH(QByteArray, before);
    QFETCH(int, room);
    QFETCH(QByteArray, after);

    const QString path = dir_->filePath(QStringLiteral("limited.log"));
    QVERIFY(writeFile(path, before));
    LogSession session;
    QCOMPARE(session.open(path), std::nullopt);

    struct rlimit saved {};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const rlim_t limit = rlim_t(before.size() + room);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < limit)
        QSKIP("the hard file size limit is below what this test needs");
    // Beyond the limit the kernel sends SIGXFSZ, which would end the process; ignored, the write fails.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    QVERIFY(::sigaction(SIGXFSZ, &ignore, &previous) == 0);
    const rlimit limited{limit, saved.rlim_max};
    if (::setrlimit(RLIMIT_FSIZE, &limited) != 0) {
        ::sigaction(SIGXFSZ, &previous, nullptr);
        QSKIP(qPrintable(QStringLiteral("setrlimit(RLIMIT_FSIZE) refused: ") + systemReason(errno)));
    }
    const quorvel::runtime::Error message = session.writeRecord(first);
    const bool restored = ::setrlimit(RLIMIT_FSIZE, &saved) == 0;
    ::sigaction(SIGXFSZ, &previous, nullptr);
    QVERIFY(restored);

    QVERIFY(message);
    QCOMPARE(message->reason, QStringLiteral("The log write failed: ") + systemReason(EFBIG));
    QCOMPARE(contents(path), before);
    QCOMPARE(session.report(), lossText(session, EFBIG));
    QVERIFY(session.report().startsWith(QStringLiteral("1 record could not be written since ")));

    QCOMPARE(session.writeRecord(second), std::nullopt);
    QCOMPARE(contents(path), after);
    // Written again, the loss is still told.
    QCOMPARE(session.report(), lossText(session, EFBIG));
    QCOMPARE(session.lostRecords(), qint64(1));
}

// A writer killed at an arbitrary moment loses nothing it had written: nothing is held back in the
// process, and no record is split over two writes.
void TestLogSession::killTearsAtMostTheLastLine()
{
    const QString path = dir_->filePath(QStringLiteral("killed.log"));
    const QByteArray record = encodeLogLine(QString(QLatin1Char('x')).repeated(300) + QStringLiteral("\r\n"));

    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::close(ready[0]);
        LogSession session;
        if (session.open(path))
            ::_exit(2);
        for (int n = 1;; ++n) {
            if (session.writeRecord(record))
                ::_exit(3);
            if (n == 500) {
                const char go = 'g';
                if (::write(ready[1], &go, 1) != 1)
                    ::_exit(4);
            }
        }
    }
    ::close(ready[1]);
    char go = 0;
    const ssize_t got = ::read(ready[0], &go, 1);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);
    QCOMPARE(got, ssize_t(1));
    QVERIFY(WIFSIGNALED(status));

    const QByteArray written = contents(path);
    const qsizetype whole = written.size() / record.size() * record.size();
    QVERIFY(whole >= 500 * record.size());
    QCOMPARE(written.left(whole), record.repeated(whole / record.size()));
    // The kernel stops a write between pages once a kill is pending, so the record in flight may be cut;
    // what is left of it is its start, and the next start mends it.
    const QByteArray torn = written.mid(whole);
    QVERIFY2(record.startsWith(torn), torn.left(40).constData());
    LogSession again;
    QCOMPARE(again.open(path), std::nullopt);
    QCOMPARE(again.writeRecord(record), std::nullopt);
    again.close();
    QCOMPARE(contents(path), written + (torn.isEmpty() ? QByteArray() : QByteArray("\r\n")) + record);
}

QTEST_GUILESS_MAIN(TestLogSession)
#include "tst_logsession.moc"
