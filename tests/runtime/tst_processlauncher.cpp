#include "runtime/processlauncher.h"
#include "scratchdir.h"

#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace quorvel::runtime;

class tst_ProcessLauncher : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void refused_data();
    void refused();
    void startsWithoutWaiting_data();
    void startsWithoutWaiting();

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

void tst_ProcessLauncher::init()
{
    dir_ = quorvel::testing::scratchDir(QStringLiteral("launcher"));
    QVERIFY(dir_->isValid());
}

void tst_ProcessLauncher::cleanup()
{
    dir_.reset();
}

void tst_ProcessLauncher::refused_data()
{
    QTest::addColumn<QString>("program"); // relative to the scratch folder, or as is when absolute/empty

    QTest::newRow("empty") << QString();
    QTest::newRow("missing") << QStringLiteral("no-such-program");
    QTest::newRow("folder") << QStringLiteral("folder");
    QTest::newRow("not executable") << QStringLiteral("plain.txt");
}

void tst_ProcessLauncher::refused()
{
    QFETCH(QString, program);
    QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("folder")));
    QFile plain(dir_->filePath(QStringLiteral("plain.txt")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.write("#!/bin/sh\nexit 0\n");
    plain.close();

    const QString path = program.isEmpty() ? program : dir_->filePath(program);
    QVERIFY(!ProcessLauncher::createSystem()->startDetached(path));
}

void tst_ProcessLauncher::startsWithoutWaiting_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("plain name") << QStringLiteral("tool");
    QTest::newRow("name with a space is not split") << QStringLiteral("my tool");
}

void tst_ProcessLauncher::startsWithoutWaiting()
{
    QFETCH(QString, name);
    // The program leaves a file with its argument count, then runs until the test releases it (or gives
    // up after half a minute), so a launch that waited would never return in time.
    const QDir dir(dir_->path());
    const QString program = dir.filePath(name);
    QFile script(program);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\n"
                                "cd '%1' || exit 1\n"
                                "echo \"$#\" > started.tmp && mv started.tmp started\n"
                                "n=0\n"
                                "while [ ! -e release ] && [ $n -lt 300 ]; do sleep 0.1; n=$((n+1)); done\n"
                                "echo done > finished.tmp && mv finished.tmp finished\n")
                     .arg(dir.path())
                     .toLocal8Bit());
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

    QFileSystemWatcher watcher({dir.path()});
    QSignalSpy changed(&watcher, &QFileSystemWatcher::directoryChanged);
    QVERIFY(ProcessLauncher::createSystem()->startDetached(program));
    QVERIFY2(!dir.exists(QStringLiteral("finished")), "the launch waited for the program to end");

    while (!dir.exists(QStringLiteral("started")) && changed.wait(5000)) {
    }
    QFile started(dir.filePath(QStringLiteral("started")));
    QVERIFY2(started.open(QIODevice::ReadOnly), "the program did not run");
    QCOMPARE(started.readAll().trimmed(), QByteArray("0"));

    QFile release(dir.filePath(QStringLiteral("release")));
    QVERIFY(release.open(QIODevice::WriteOnly));
    release.close();
    while (!dir.exists(QStringLiteral("finished")) && changed.wait(5000)) {
    }
    QVERIFY2(dir.exists(QStringLiteral("finished")), "the program did not end after its release");
}

QTEST_GUILESS_MAIN(tst_ProcessLauncher)
#include "tst_processlauncher.moc"
