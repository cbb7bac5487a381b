#include "runtime/registry.h"
#include "registrybackendmemory.h"

#include <QTest>

using namespace quorvel::runtime;

namespace {

const QString toolKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
const QString toolValue = QStringLiteral("PATH");

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

} // namespace

class tst_Registry : public QObject {
    Q_OBJECT
private slots:
    void reader_data();
    void reader();
    void readerPassesOpenArguments();
    void bufferWithoutZeroRaisesAfterClosing_data();
    void bufferWithoutZeroRaisesAfterClosing();
    void querySizeRules_data();
    void querySizeRules();
};

enum class KeyState { Absent, Denied, Empty, WithValue };

void tst_Registry::reader_data()
{
    QTest::addColumn<int>("keyState");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("keyValIn");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QString>("expectedKeyVal");

    const int withValue = int(KeyState::WithValue);
    QTest::newRow("text") << withValue << int(RegType::Sz) << QByteArray("/usr/bin/tool x\0", 16)
                          << QStringLiteral("old") << true << QStringLiteral("/usr/bin/tool x");
    QTest::newRow("empty text") << withValue << int(RegType::Sz) << QByteArray(1, '\0')
                                << QStringLiteral("old") << true << QString();
    QTest::newRow("text ends at first zero") << withValue << int(RegType::Sz) << QByteArray("ab\0cd\0", 6)
                                             << QString() << true << QStringLiteral("ab");
    QTest::newRow("text stored without its zero")
        << withValue << int(RegType::Sz) << QByteArray("abc") << QString() << true << QStringLiteral("abc");
    QTest::newRow("1024 bytes with zero") << withValue << int(RegType::Sz) << QByteArray(1023, 'x') + '\0'
                                          << QString() << true << QString(1023, QLatin1Char('x'));
    QTest::newRow("1025 bytes with zero: more data")
        << withValue << int(RegType::Sz) << QByteArray(1024, 'x') + '\0' << QStringLiteral("old") << false
        << QString();
    QTest::newRow("dword 05 01 00 00") << withValue << int(RegType::Dword) << bytes({0x05, 0x01, 0x00, 0x00})
                                       << QString() << true << QStringLiteral("261");
    QTest::newRow("dword zero") << withValue << int(RegType::Dword) << bytes({0, 0, 0, 0})
                                << QStringLiteral("old") << true << QStringLiteral("0");
    QTest::newRow("dword top bit unsigned")
        << withValue << int(RegType::Dword) << bytes({0x00, 0x00, 0x00, 0x80}) << QString() << true
        << QStringLiteral("2147483648");
    QTest::newRow("dword all ones") << withValue << int(RegType::Dword) << bytes({0xFF, 0xFF, 0xFF, 0xFF})
                                    << QString() << true << QStringLiteral("4294967295");
    QTest::newRow("binary keeps passed text") << withValue << int(RegType::Binary) << bytes({1, 2, 3})
                                              << QStringLiteral("kept") << true << QStringLiteral("kept");
    QTest::newRow("expandable text keeps passed text")
        << withValue << int(RegType::ExpandSz) << QByteArray("%HOME%\0", 7) << QStringLiteral("kept") << true
        << QStringLiteral("kept");
    QTest::newRow("missing key") << int(KeyState::Absent) << 0 << QByteArray() << QStringLiteral("old")
                                 << false << QString();
    QTest::newRow("missing value") << int(KeyState::Empty) << 0 << QByteArray() << QStringLiteral("old")
                                   << false << QString();
    QTest::newRow("open refused") << int(KeyState::Denied) << int(RegType::Sz)
                                  << QByteArray("/bin/tool\0", 10) << QStringLiteral("old") << false
                                  << QString();
}

void tst_Registry::reader()
{
    QFETCH(int, keyState);
    QFETCH(int, type);
    QFETCH(QByteArray, data);
    QFETCH(QString, keyValIn);
    QFETCH(bool, expected);
    QFETCH(QString, expectedKeyVal);

    RegistryBackendMemory reg;
    const auto state = KeyState(keyState);
    if (state == KeyState::Empty)
        reg.addKey(RegRoot::LocalMachine, toolKey);
    if (state == KeyState::WithValue || state == KeyState::Denied)
        reg.setValue(RegRoot::LocalMachine, toolKey, toolValue, std::uint32_t(type), data);
    if (state == KeyState::Denied)
        reg.denyKey(RegRoot::LocalMachine, toolKey);

    QString keyVal = keyValIn;
    QCOMPARE(readRegistryValue(reg, RegRoot::LocalMachine, toolKey, toolValue, keyVal), expected);
    QCOMPARE(keyVal, expectedKeyVal);
    QCOMPARE(reg.openCalls().size(), 1);
    QCOMPARE(reg.openHandleCount(), 0);
    const bool opened = state == KeyState::Empty || state == KeyState::WithValue;
    QCOMPARE(reg.closedCount(), opened ? 1 : 0);
}

void tst_Registry::readerPassesOpenArguments()
{
    RegistryBackendMemory reg;
    reg.setString(RegRoot::LocalMachine, toolKey, toolValue, QStringLiteral("/bin/true"));
    QString keyVal;
    QVERIFY(readRegistryValue(reg, RegRoot::LocalMachine, toolKey, toolValue, keyVal));
    QCOMPARE(reg.openCalls().size(), 1);
    const auto& call = reg.openCalls().first();
    QCOMPARE(call.root, RegRoot::LocalMachine);
    QCOMPARE(call.subKey, toolKey);
    QCOMPARE(call.options, 0u);
    QCOMPARE(call.accessMask, 0x2003Fu);
}

void tst_Registry::bufferWithoutZeroRaisesAfterClosing_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("text") << int(RegType::Sz);
    QTest::newRow("binary") << int(RegType::Binary);
    QTest::newRow("dword") << int(RegType::Dword);
}

void tst_Registry::bufferWithoutZeroRaisesAfterClosing()
{
    QFETCH(int, type);
    RegistryBackendMemory reg;
    reg.setValue(RegRoot::LocalMachine, toolKey, toolValue, std::uint32_t(type), QByteArray(1024, 'x'));
    QString keyVal = QStringLiteral("old");
    QVERIFY_THROWS_EXCEPTION(RegistryError,
                             (void)readRegistryValue(reg, RegRoot::LocalMachine, toolKey, toolValue, keyVal));
    QCOMPARE(reg.closedCount(), 1);
    QCOMPARE(reg.openHandleCount(), 0);
    QCOMPARE(keyVal, QStringLiteral("old"));
}

void tst_Registry::querySizeRules_data()
{
    QTest::addColumn<int>("bufferSize");
    QTest::addColumn<bool>("nullBuffer");
    QTest::addColumn<int>("expectedStatus");
    QTest::addColumn<int>("expectedSize");

    // The stored value is "abcd" with its zero: five bytes.
    QTest::newRow("larger buffer") << 16 << false << int(RegResult::Success) << 5;
    QTest::newRow("exact buffer") << 5 << false << int(RegResult::Success) << 5;
    QTest::newRow("one byte short") << 4 << false << int(RegResult::MoreData) << 5;
    QTest::newRow("no buffer asks the size") << 0 << true << int(RegResult::Success) << 5;
}

void tst_Registry::querySizeRules()
{
    QFETCH(int, bufferSize);
    QFETCH(bool, nullBuffer);
    QFETCH(int, expectedStatus);
    QFETCH(int, expectedSize);

    RegistryBackendMemory reg;
    reg.setString(RegRoot::LocalMachine, toolKey, toolValue, QStringLiteral("abcd"));
    RegHandle key = 0;
    QCOMPARE(reg.openKey(RegRoot::LocalMachine, toolKey.toLower(), 0, RegReaderAccessMask, key),
             RegResult::Success);
    QVERIFY(key != 0);

    QByteArray buffer(bufferSize, '\x7f');
    std::uint32_t type = RegType::None;
    auto size = std::uint32_t(bufferSize);
    const RegStatus status =
        reg.queryValue(key, QStringLiteral("path"), type,
                       nullBuffer ? nullptr : reinterpret_cast<std::uint8_t*>(buffer.data()), size);
    QCOMPARE(status, RegStatus(expectedStatus));
    QCOMPARE(size, std::uint32_t(expectedSize));
    if (status == RegResult::Success && !nullBuffer)
        QCOMPARE(buffer.left(5), QByteArray("abcd\0", 5));
    QCOMPARE(reg.closeKey(key), RegResult::Success);
    QCOMPARE(reg.closeKey(key), RegResult::InvalidHandle);
    QCOMPARE(reg.closeKey(0), RegResult::InvalidHandle);
}

QTEST_GUILESS_MAIN(tst_Registry)
#include "tst_registry.moc"
