#include "runtime/registry.h"
#include "runtime/registrybackendlinux.h"
#include "scratchdir.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace quorvel::runtime;

namespace {

const QString toolKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");

void writeProgram(const QString& path, bool executable)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write("#!/bin/sh\nexit 0\n");
    file.close();
    QFileDevice::Permissions perms = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (executable)
        perms |= QFileDevice::ExeOwner;
    QVERIFY(file.setPermissions(perms));
}

} // namespace

class tst_RegistryBackendLinux : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void toolPath_data();
    void toolPath();
    void nothingElseExists_data();
    void nothingElseExists();

private:
    QByteArray savedPath_;
    std::unique_ptr<QTemporaryDir> dir_;
};

void tst_RegistryBackendLinux::init()
{
    savedPath_ = qgetenv("PATH");
    dir_ = quorvel::testing::scratchDir(QStringLiteral("registry"));
    QVERIFY(dir_->isValid());
}

void tst_RegistryBackendLinux::cleanup()
{
    qputenv("PATH", savedPath_);
    dir_.reset();
}

void tst_RegistryBackendLinux::toolPath_data()
{
    // Programs put into the first and second PATH folders; "-" marks one without execute permission.
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("second");
    QTest::addColumn<QString>("expected"); // "dir/name", empty when nothing is found

    QTest::newRow("hardinfo only") << QStringList{"hardinfo"} << QStringList{}
                                   << QStringLiteral("a/hardinfo");
    QTest::newRow("kinfocenter before hardinfo")
        << QStringList{"hardinfo"} << QStringList{"kinfocenter"} << QStringLiteral("b/kinfocenter");
    QTest::newRow("hardinfo2 before hardinfo") << QStringList{"hardinfo", "gnome-system-monitor"}
                                               << QStringList{"hardinfo2"} << QStringLiteral("b/hardinfo2");
    QTest::newRow("system monitor last")
        << QStringList{} << QStringList{"gnome-system-monitor"} << QStringLiteral("b/gnome-system-monitor");
    QTest::newRow("earlier PATH folder wins")
        << QStringList{"hardinfo"} << QStringList{"hardinfo"} << QStringLiteral("a/hardinfo");
    QTest::newRow("not executable is skipped")
        << QStringList{"-kinfocenter"} << QStringList{"hardinfo"} << QStringLiteral("b/hardinfo");
    QTest::newRow("none") << QStringList{"-kinfocenter", "sysinfo"} << QStringList{} << QString();
}

void tst_RegistryBackendLinux::toolPath()
{
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QFETCH(QString, expected);

    const QString a = dir_->filePath(QStringLiteral("a"));
    const QString b = dir_->filePath(QStringLiteral("b"));
    QVERIFY(QDir().mkpath(a) && QDir().mkpath(b));
    for (const auto& [folder, names] : {std::pair{a, first}, std::pair{b, second}}) {
        for (QString name : names) {
            const bool executable = !name.startsWith(QLatin1Char('-'));
            if (!executable)
                name.remove(0, 1);
            writeProgram(folder + QLatin1Char('/') + name, executable);
        }
    }
    qputenv("PATH", (a + QLatin1Char(':') + b).toLocal8Bit());

    RegistryBackendLinux reg;
    QString keyVal = QStringLiteral("old");
    const bool found = readRegistryValue(reg, RegRoot::LocalMachine, toolKey, QStringLiteral("PATH"), keyVal);
    QCOMPARE(found, !expected.isEmpty());
    QCOMPARE(keyVal, expected.isEmpty() ? QString() : dir_->filePath(expected));
}

void tst_RegistryBackendLinux::nothingElseExists_data()
{
    QTest::addColumn<quint32>("root");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("expected");

    QTest::newRow("the tool's value")
        << quint32(RegRoot::LocalMachine) << toolKey << QStringLiteral("PATH") << true;
    QTest::newRow("names ignore case")
        << quint32(RegRoot::LocalMachine) << toolKey.toLower() << QStringLiteral("Path") << true;
    QTest::newRow("other value") << quint32(RegRoot::LocalMachine) << toolKey << QStringLiteral("Version")
                                 << false;
    QTest::newRow("location key") << quint32(RegRoot::LocalMachine)
                                  << QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location")
                                  << QStringLiteral("MSINFO") << false;
    QTest::newRow("other root") << quint32(0x80000001) << toolKey << QStringLiteral("PATH") << false;
    QTest::newRow("subkey below") << quint32(RegRoot::LocalMachine) << toolKey + QStringLiteral("\\More")
                                  << QStringLiteral("PATH") << false;
}

void tst_RegistryBackendLinux::nothingElseExists()
{
    QFETCH(quint32, root);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(bool, expected);

    writeProgram(dir_->filePath(QStringLiteral("hardinfo")), true);
    qputenv("PATH", dir_->path().toLocal8Bit());

    RegistryBackendLinux reg;
    QString keyVal = QStringLiteral("old");
    QCOMPARE(readRegistryValue(reg, root, key, value, keyVal), expected);
    QCOMPARE(keyVal, expected ? dir_->filePath(QStringLiteral("hardinfo")) : QString());
}

QTEST_GUILESS_MAIN(tst_RegistryBackendLinux)
#include "tst_registrybackendlinux.moc"
