#include "acquisition/sensorlist.h"
#include "sources/w1/w1slavetext.h"
#include "sources/w1/w1tree.h"
#include "sources/w1/w1treenames.h"

#include "scratchdir.h"

#include <QtTest>

#include <cerrno>

using namespace quorvel::acquisition;
using quorvel::testing::scratchDir;
using quorvel::testing::writeFile;

namespace {

constexpr char Cellar[] = "3000000123456728"; // 28-000001234567
const QByteArray Pad = "72 01 4b 46 7f ff 0e 10 57";

// A w1_slave as the driver writes it: the scratchpad with its CRC check, then the scratchpad with t=.
QByteArray slave(const QByteArray& pad, const QByteArray& t, const char* check = "YES")
{
    return pad + " : crc=" + pad.right(2) + ' ' + check + '\n' + pad + " t=" + t + '\n';
}

// slaveText: the w1_slave beside a temperature file, read only to check a 0 there.
void row(const char* name, const char* file, const QByteArray& text, ReadOutcome outcome, float value = 0,
         const QByteArray& reason = {}, const QByteArray& slaveText = "garbage")
{
    QTest::newRow(name) << QString::fromLatin1(file) << text << outcome << value << QString::fromUtf8(reason)
                        << slaveText;
}

} // namespace

class TestW1Tree : public QObject {
    Q_OBJECT
private slots:
    void sensorFiles_data();
    void sensorFiles();
    void errnos_data();
    void errnos();
    void discovery_data();
    void discovery();
};

void TestW1Tree::sensorFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<ReadOutcome>("outcome");
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QByteArray>("slaveText");

    using enum ReadOutcome;
    const char* w1 = "w1_slave";
    row("good", w1, slave(Pad, "23125"), Ok, 23.125f);
    row("crc NO", w1, slave(Pad, "23125", "NO"), CrcError, 0, "CRC check failed: " + Pad + " : crc=57 NO");
    row("power-on 85 is the table's to judge", w1, slave("50 05 4b 46 7f ff 0c 10 1c", "85000"), Ok, 85);
    const QByteArray zeros = slave("00 00 00 00 00 00 00 00 00", "0");
    const QByteArray zerosSaid = "scratchpad all zeros: nothing drove the bus (a short or no pull-up?)";
    row("all-zero scratchpad", w1, zeros, ZeroScratchpad, 0, zerosSaid);
    const QByteArray failed = "127.9375 °C: the value a failed conversion leaves (weak power or pull-up?)";
    row("127.9375: a failed conversion", w1, slave("ff 07 4b 46 7f ff 0c 10 e5", "127937"), Implausible, 0,
        failed);
    row("0x07ff with another count byte", w1, slave("ff 07 4b 46 7f ff 01 10 e5", "127937"), Ok, 127.9375f);
    const QByteArray ones = "ff ff ff ff ff ff ff ff ff";
    const QByteArray onesSaid = "scratchpad all ones: no sensor drove the bus (disconnected or a dead bus)";
    row("all ones, crc YES", w1, slave(ones, "-62"), Implausible, 0, onesSaid);
    row("all ones, crc NO", w1, slave(ones, "-62", "NO"), CrcError, 0, onesSaid);
    const QByteArray empty = "empty read: the sensor failed its CRC check on every try or did not answer";
    row("empty", w1, {}, ReadError, 0, empty);
    row("first line only", w1, Pad + " : crc=57 YES\n", ReadError, 0,
        "truncated read: no \"t=\" after \"" + Pad + " : crc=57 YES\"");
    row("cut in the first line", w1, "72 01 4b 46 7f", ReadError, 0, "truncated read: \"72 01 4b 46 7f\"");
    row("garbled", w1, "hello\nworld\n", ReadError, 0, "garbled read: \"hello\"");
    row("garbled number", w1, slave(Pad, "23.1x"), ReadError, 0,
        "garbled temperature: \"" + Pad + " t=23.1x\"");
    // The driver truncates to whole millidegrees: -0.0625 comes as -62, 0.0625 as 62.
    row("-0.0625", w1, slave("ff ff 4b 46 7f ff 01 10 f0", "-62"), Ok, -0.0625f);
    row("-10.125", w1, slave("5e ff 4b 46 7f ff 02 10 83", "-10125"), Ok, -10.125f);
    row("125", w1, slave("d0 07 4b 46 7f ff 10 10 5c", "125000"), Ok, 125);
    row("-55", w1, slave("90 fc 4b 46 7f ff 10 10 48", "-55000"), Ok, -55);
    const char* attribute = "temperature";
    row("temperature", attribute, "23125\n", Ok, 23.125f);
    row("temperature 0.0625", attribute, "62\n", Ok, 0.0625f);
    row("temperature -55", attribute, "-55000\n", Ok, -55);
    row("temperature 127.9375", attribute, "127937\n", Implausible, 0, failed);
    row("temperature 0, scratchpad of zeros", attribute, "0\n", ZeroScratchpad, 0, zerosSaid, zeros);
    row("temperature 0, scratchpad agrees", attribute, "0\n", Ok, 0, {},
        slave("00 00 4b 46 7f ff 10 10 ab", "0"));
    row("temperature empty", attribute, {}, ReadError, 0, empty);
    row("temperature garbled", attribute, "abc\n", ReadError, 0, "garbled temperature: \"abc\"");
    // No thermometer gives a number outside -60 to 130 °C: a garbled read, never a value nor an alarm.
    const QByteArray range = "outside any thermometer's range (-60 to 130 °C)";
    row("-300", w1, slave("40 ed 4b 46 7f ff 10 10 aa", "-300000"), ReadError, 0,
        "a value of -300 °C, " + range);
    row("temperature 130", attribute, "130000\n", Ok, 130);
    row("temperature past 130", attribute, "130125\n", ReadError, 0, "a value of 130.125 °C, " + range);
    row("temperature -60", attribute, "-60000\n", Ok, -60);
    row("temperature the largest int", attribute, "2147483647\n", ReadError, 0,
        "a value of 2.14748e+06 °C, " + range);
}

// Each shape as a file in a tree, read as the bus reader reads it.
void TestW1Tree::sensorFiles()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, text);
    QFETCH(ReadOutcome, outcome);
    QFETCH(float, value);
    QFETCH(QString, reason);
    QFETCH(QByteArray, slaveText);

    const auto root = scratchDir(QStringLiteral("w1tree"));
    const QString folder = root->filePath(QStringLiteral("28-000001234567"));
    QVERIFY(QDir().mkpath(folder));
    // A w1_slave beside the temperature file must not be read but for a 0.
    QVERIFY(writeFile(folder + QStringLiteral("/w1_slave"), slaveText));
    QVERIFY(writeFile(folder + u'/' + file, text));

    const SensorAnswer answer = W1Tree(root->path()).readSensor(QLatin1String(Cellar));
    QCOMPARE(answer.outcome, outcome);
    QCOMPARE(answer.value, value);
    QCOMPARE(answer.reason, reason);
}

void TestW1Tree::errnos_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<ReadOutcome>("outcome");
    QTest::newRow("ENOENT: folder gone") << ENOENT << ReadOutcome::NoSensor;
    QTest::newRow("ENODEV") << ENODEV << ReadOutcome::NoSensor;
    QTest::newRow("EIO") << EIO << ReadOutcome::ReadError;
    QTest::newRow("EINVAL") << EINVAL << ReadOutcome::ReadError;
}

void TestW1Tree::errnos()
{
    QFETCH(int, error);
    QFETCH(ReadOutcome, outcome);
    QCOMPARE(answerForErrno(error).outcome, outcome);
    QVERIFY(!answerForErrno(error).reason.isEmpty());
}

void TestW1Tree::discovery_data()
{
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("romCodes");

    const auto code = [](const char* folder) {
        return readRomCode(QString::fromLatin1(folder), RomFamilies::AnyThermometer).romCode.value();
    };
    QTest::newRow("families in ID order, others passed over")
        << QStringList{"w1_bus_master1",  "42-000000000001", "28-0000000abcde", "01-000001234567",
                       "10-0008029d5a1c", "28-000001234567", "3b-000000000002", "22-000000000003",
                       "28-00000123456",  "28-00000123456g", "00-800000000000"}
        << QStringList{code("10-0008029d5a1c"),
                       code("22-000000000003"),
                       QStringLiteral("BC0000000ABCDE28"),
                       QStringLiteral("3000000123456728"),
                       code("3b-000000000002"),
                       code("42-000000000001")};
    QTest::newRow("only the master") << QStringList{"w1_bus_master1"} << QStringList{};
}

// Discovery as a plain folder gives it; each code found names its folder again.
void TestW1Tree::discovery()
{
    QFETCH(QStringList, folders);
    QFETCH(QStringList, romCodes);

    const auto root = scratchDir(QStringLiteral("w1discovery"));
    for (const QString& folder : folders)
        QVERIFY(QDir(root->path()).mkdir(folder));
    QVERIFY(writeFile(root->filePath(QStringLiteral("28-111111111111")), "a file, not a folder"));
    const W1Tree::Listing listing = W1Tree(root->path()).list();
    QCOMPARE(listing.problem, QString());
    QCOMPARE(listing.romCodes, romCodes);
    for (const QString& code : romCodes)
        QVERIFY2(folders.contains(linuxId(code)), qPrintable(code));
    QVERIFY(!W1Tree(root->filePath(QStringLiteral("gone"))).list().problem.isEmpty());
}

QTEST_GUILESS_MAIN(TestW1Tree)
#include "tst_w1tree.moc"
