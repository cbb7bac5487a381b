#include "frmabout.h"
#include "scratchdir.h"

#include "registrybackendmemory.h"
#include "runtime/appinfo.h"
#include "runtime/messagebox.h"
#include "runtime/processlauncher.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace quorvel::runtime;
using quorvel::about::frmAbout;

namespace {

const QString firstKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
const QString secondKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location");

class RecordingLauncher final : public ProcessLauncher {
public:
    bool startDetached(const QString& program) override
    {
        programs.append(program);
        return succeeds;
    }
    QStringList programs;
    bool succeeds = true;
};

// How a key is set up for a row.
enum class Key { Absent, Denied, Text, Binary, NoZero };

} // namespace

class tst_StartSysInfo : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void routes_data();
    void routes();
    void launchesEveryTime();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QList<MessageRequest> messages_;
};

void tst_StartSysInfo::initTestCase()
{
    dir_ = quorvel::testing::scratchDir(QStringLiteral("sysinfo"));
    QVERIFY(dir_->isValid());
    // On this platform the backslash is an ordinary character, so the folder text "<tmp>/tools" plus the
    // appended "\MSINFO32.EXE" names the file "tools\MSINFO32.EXE" inside <tmp>.
    QFile tool(dir_->filePath(QStringLiteral("tools\\MSINFO32.EXE")));
    QVERIFY(tool.open(QIODevice::WriteOnly));
    tool.close();
    QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("folder\\MSINFO32.EXE")));
    QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("empty")));

    MessageBox::setPresenter([this](const MessageRequest& request) {
        messages_.append(request);
        return MsgResult::Ok;
    });
}

void tst_StartSysInfo::cleanup()
{
    messages_.clear();
}

void tst_StartSysInfo::routes_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<QString>("firstText");
    QTest::addColumn<int>("second");
    QTest::addColumn<QString>("secondText"); // relative to the scratch folder
    QTest::addColumn<bool>("launcherSucceeds");
    QTest::addColumn<QString>("expectedLaunch"); // "@" stands for the scratch folder; empty: none tried
    QTest::addColumn<int>("expectedOpens");
    QTest::addColumn<bool>("expectedMessage");

    const int absent = int(Key::Absent);
    const int text = int(Key::Text);
    QTest::newRow("first key: path launched unchanged, no file test")
        << text << QStringLiteral("/no/such dir/tool") << absent << QString() << true
        << QStringLiteral("/no/such dir/tool") << 1 << false;
    QTest::newRow("first key wins over second")
        << text << QStringLiteral("/opt/a") << text << QStringLiteral("tools") << true
        << QStringLiteral("/opt/a") << 1 << false;
    QTest::newRow("first key of another type")
        << int(Key::Binary) << QString() << text << QStringLiteral("tools") << true << QString() << 1 << true;
    QTest::newRow("first key empty text")
        << text << QString() << text << QStringLiteral("tools") << true << QString() << 1 << true;
    QTest::newRow("first key without zero byte")
        << int(Key::NoZero) << QString() << text << QStringLiteral("tools") << true << QString() << 1 << true;
    QTest::newRow("launch fails") << text << QStringLiteral("/opt/a") << absent << QString() << false
                                  << QStringLiteral("/opt/a") << 1 << true;
    QTest::newRow("second key with the file")
        << absent << QString() << text << QStringLiteral("tools") << true
        << QStringLiteral("@/tools\\MSINFO32.EXE") << 2 << false;
    QTest::newRow("first key refused, second used")
        << int(Key::Denied) << QStringLiteral("/opt/a") << text << QStringLiteral("tools") << true
        << QStringLiteral("@/tools\\MSINFO32.EXE") << 2 << false;
    QTest::newRow("second key, launch fails")
        << absent << QString() << text << QStringLiteral("tools") << false
        << QStringLiteral("@/tools\\MSINFO32.EXE") << 2 << true;
    QTest::newRow("second key, file missing")
        << absent << QString() << text << QStringLiteral("empty") << true << QString() << 2 << true;
    QTest::newRow("second key, folder ending in a separator")
        << absent << QString() << text << QStringLiteral("tools\\") << true << QString() << 2 << true;
    QTest::newRow("second key, a directory of that name")
        << absent << QString() << text << QStringLiteral("folder") << true << QString() << 2 << true;
    QTest::newRow("second key of another type")
        << absent << QString() << int(Key::Binary) << QString() << true << QString() << 2 << true;
    QTest::newRow("second key without zero byte")
        << absent << QString() << int(Key::NoZero) << QString() << true << QString() << 2 << true;
    QTest::newRow("neither key") << absent << QString() << absent << QString() << true << QString() << 2
                                 << true;
}

void tst_StartSysInfo::routes()
{
    QFETCH(int, first);
    QFETCH(QString, firstText);
    QFETCH(int, second);
    QFETCH(QString, secondText);
    QFETCH(bool, launcherSucceeds);
    QFETCH(QString, expectedLaunch);
    QFETCH(int, expectedOpens);
    QFETCH(bool, expectedMessage);

    auto reg = std::make_shared<RegistryBackendMemory>();
    const auto setUp = [&](Key kind, const QString& key, const QString& value, const QString& textValue) {
        switch (kind) {
        case Key::Absent:
            break;
        case Key::Denied:
            reg->setString(RegRoot::LocalMachine, key, value, textValue);
            reg->denyKey(RegRoot::LocalMachine, key);
            break;
        case Key::Text:
            reg->setString(RegRoot::LocalMachine, key, value, textValue);
            break;
        case Key::Binary:
            reg->setValue(RegRoot::LocalMachine, key, value, RegType::Binary, QByteArray("\x01\x02", 2));
            break;
        case Key::NoZero:
            reg->setValue(RegRoot::LocalMachine, key, value, RegType::Sz, QByteArray(1024, 'x'));
            break;
        }
    };
    setUp(Key(first), firstKey, QStringLiteral("PATH"), firstText);
    setUp(Key(second), secondKey, QStringLiteral("MSINFO"),
          secondText.isEmpty() ? secondText : dir_->filePath(secondText));
    auto launcher = std::make_shared<RecordingLauncher>();
    launcher->succeeds = launcherSucceeds;

    frmAbout dlg;
    dlg.setRegistryBackend(reg);
    dlg.setProcessLauncher(launcher);
    dlg.StartSysInfo();

    const QStringList expectedPrograms =
        expectedLaunch.isEmpty()
            ? QStringList{}
            : QStringList{QString(expectedLaunch).replace(QStringLiteral("@"), dir_->path())};
    QCOMPARE(launcher->programs, expectedPrograms);
    QCOMPARE(reg->openCalls().size(), expectedOpens);
    QCOMPARE(reg->openHandleCount(), 0);
    QCOMPARE(messages_.size(), expectedMessage ? 1 : 0);
    if (expectedMessage) {
        QCOMPARE(messages_.first().prompt, QStringLiteral("System Information Is Unavailable At This Time"));
        QCOMPARE(messages_.first().style, 0);
        QCOMPARE(messages_.first().title, AppInfo::title());
    }
}

void tst_StartSysInfo::launchesEveryTime()
{
    auto reg = std::make_shared<RegistryBackendMemory>();
    reg->setString(RegRoot::LocalMachine, firstKey, QStringLiteral("PATH"), QStringLiteral("/opt/tool"));
    auto launcher = std::make_shared<RecordingLauncher>();
    frmAbout dlg;
    dlg.setRegistryBackend(reg);
    dlg.setProcessLauncher(launcher);
    dlg.StartSysInfo();
    launcher->succeeds = false;
    dlg.StartSysInfo();
    launcher->succeeds = true;
    dlg.StartSysInfo();
    QCOMPARE(launcher->programs, QStringList(3, QStringLiteral("/opt/tool")));
    QCOMPARE(messages_.size(), 1);
    QCOMPARE(reg->openHandleCount(), 0);
}

QTEST_MAIN(tst_StartSysInfo)
#include "tst_startsysinfo.moc"
