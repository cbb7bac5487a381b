#include "acquisition/logsession.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using quorvel::acquisition::encodeLogLine;
using quorvel::acquisition::LogSession;

namespace {

QString scratchRoot()
{
    const QString root = qEnvironmentVariable("QUORVEL_TEST_TMP");
    if (root.isEmpty())
        return QDir::tempPath();
    QDir().mkpath(root);
    return root;
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return f.readAll();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
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
    void fullDevice();
    void writeWithoutFile();
    void killLeavesOnlyWholeLines();

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestLogSession::init()
{
    dir_ = std::make_unique<QTemporaryDir>(scratchRoot() + QStringLiteral("/logsession-XXXXXX"));
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
    QTest::addColumn<int>("error");

    QTest::newRow("directory") << "directory" << EISDIR;
    QTest::newRow("missing folder") << "missing folder" << ENOENT;
    QTest::newRow("read-only file") << "read-only file" << EACCES;
}

void TestLogSession::unopenable()
{
    QFETCH(QString, kind);
    QFETCH(int, error);

    QString path;
    if (kind == QLatin1String("directory")) {
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
    const std::optional<QString> message = session.open(path);
    QVERIFY(message.has_value());
    QCOMPARE(*message, QStringLiteral("The log file %1 cannot be opened: %2").arg(path, systemReason(error)));
    QCOMPARE(session.LoggingActive(), std::int16_t(0));
    QVERIFY(session.writeRecord(first).has_value());
    QCOMPARE(changes.size(), 0);
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

void TestLogSession::fullDevice()
{
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QSKIP("this system has no /dev/full");
    LogSession session;
    QCOMPARE(session.open(QStringLiteral("/dev/full")), std::nullopt);
    QCOMPARE(session.LoggingActive(), std::int16_t(-1));

    const std::optional<QString> message = session.writeRecord(first);
    QVERIFY(message.has_value());
    QCOMPARE(*message, QStringLiteral("The log write failed: ") + systemReason(ENOSPC));
    // A failed write leaves logging on; the cycle goes on with the next sweep.
    QCOMPARE(session.LoggingActive(), std::int16_t(-1));
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

// A writer killed at an arbitrary moment leaves only whole records: nothing is held back in the
// process to be lost, and no record is split over two writes.
void TestLogSession::killLeavesOnlyWholeLines()
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
    QVERIFY(written.size() >= 500 * record.size());
    QCOMPARE(written.size() % record.size(), 0);
    QCOMPARE(written, record.repeated(written.size() / record.size()));
}

QTEST_GUILESS_MAIN(TestLogSession)
#include "tst_logsession.moc"
