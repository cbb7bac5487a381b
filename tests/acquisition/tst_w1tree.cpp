#include "acquisition/sensorlist.h"
#include "acquisition/w1slavetext.h"
#include "acquisition/w1tree.h"
#include "acquisition/w1treenames.h"

#include "scratchdir.h"

#include <QtTest>

#include <cerrno>

using namespace quorvel::acquisition;
using quorvel::testing::scratchDir;

Q_DECLARE_METATYPE(quorvel::acquisition::ReadOutcome)

namespace {

constexpr char Cellar[] = "3000000123456728"; // 28-000001234567

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
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
    void folderNames();
};

void TestW1Tree::sensorFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<ReadOutcome>("outcome");
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("reason");

    const QByteArray pad = "72 01 4b 46 7f ff 0e 10 57";
    const QString slave = QStringLiteral("w1_slave");
    QTest::newRow("good") << slave << pad + " : crc=57 YES\n" + pad + " t=23125\n"
                          << ReadOutcome::Ok << 23.125f << QString();
    QTest::newRow("crc NO") << slave << pad + " : crc=57 NO\n" + pad + " t=23125\n"
                            << ReadOutcome::CrcError << 0.f
                            << QStringLiteral("CRC check failed: 72 01 4b 46 7f ff 0e 10 57 : crc=57 NO");
    QTest::newRow("power-on 85 is the table's to judge")
        << slave
        << QByteArray("50 05 4b 46 7f ff 0c 10 1c : crc=1c YES\n50 05 4b 46 7f ff 0c 10 1c t=85000\n")
        << ReadOutcome::Ok << 85.f << QString();
    QTest::newRow("all-zero scratchpad")
        << slave << QByteArray("00 00 00 00 00 00 00 00 00 : crc=00 YES\n00 00 00 00 00 00 00 00 00 t=0\n")
        << ReadOutcome::ZeroScratchpad << 0.f
        << QStringLiteral("scratchpad all zeros: nothing drove the bus (a short or no pull-up?)");
    QTest::newRow("empty") << slave << QByteArray() << ReadOutcome::ReadError << 0.f
                           << QStringLiteral("empty read");
    QTest::newRow("first line only") << slave << pad + " : crc=57 YES\n"
                                     << ReadOutcome::ReadError << 0.f
                                     << QString::fromLatin1("truncated read: no \"t=\" after \"" + pad +
                                                            " : crc=57 YES\"");
    QTest::newRow("cut in the first line") << slave << QByteArray("72 01 4b 46 7f") << ReadOutcome::ReadError
                                           << 0.f << QStringLiteral("truncated read: \"72 01 4b 46 7f\"");
    QTest::newRow("garbled") << slave << QByteArray("hello\nworld\n") << ReadOutcome::ReadError << 0.f
                             << QStringLiteral("garbled read: \"hello\"");
    QTest::newRow("garbled number") << slave << pad + " : crc=57 YES\n" + pad + " t=23.1x\n"
                                    << ReadOutcome::ReadError << 0.f
                                    << QString::fromLatin1("garbled temperature: \"" + pad + " t=23.1x\"");
    // The driver truncates to whole millidegrees: -0.0625 comes as -62, 0.0625 as 62.
    QTest::newRow("-0.0625")
        << slave << QByteArray("ff ff 4b 46 7f ff 01 10 f0 : crc=f0 YES\nff ff 4b 46 7f ff 01 10 f0 t=-62\n")
        << ReadOutcome::Ok << -0.0625f << QString();
    QTest::newRow("-10.125")
        << slave
        << QByteArray("5e ff 4b 46 7f ff 02 10 83 : crc=83 YES\n5e ff 4b 46 7f ff 02 10 83 t=-10125\n")
        << ReadOutcome::Ok << -10.125f << QString();
    QTest::newRow("125")
        << slave
        << QByteArray("d0 07 4b 46 7f ff 10 10 5c : crc=5c YES\nd0 07 4b 46 7f ff 10 10 5c t=125000\n")
        << ReadOutcome::Ok << 125.f << QString();
    QTest::newRow("-55")
        << slave
        << QByteArray("90 fc 4b 46 7f ff 10 10 48 : crc=48 YES\n90 fc 4b 46 7f ff 10 10 48 t=-55000\n")
        << ReadOutcome::Ok << -55.f << QString();
    const QString temperature = QStringLiteral("temperature");
    QTest::newRow("temperature") << temperature << QByteArray("23125\n") << ReadOutcome::Ok << 23.125f
                                 << QString();
    QTest::newRow("temperature 0.0625")
        << temperature << QByteArray("62\n") << ReadOutcome::Ok << 0.0625f << QString();
    QTest::newRow("temperature -55") << temperature << QByteArray("-55000\n") << ReadOutcome::Ok << -55.f
                                     << QString();
    QTest::newRow("temperature empty")
        << temperature << QByteArray() << ReadOutcome::ReadError << 0.f << QStringLiteral("empty read");
    QTest::newRow("temperature garbled") << temperature << QByteArray("abc\n") << ReadOutcome::ReadError
                                         << 0.f << QStringLiteral("garbled temperature: \"abc\"");
}

// Each shape as a file in a tree, read as the bus reader reads it.
void TestW1Tree::sensorFiles()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, text);
    QFETCH(ReadOutcome, outcome);
    QFETCH(float, value);
    QFETCH(QString, reason);

    const auto root = scratchDir(QStringLiteral("w1tree"));
    const QString folder = root->filePath(QStringLiteral("28-000001234567"));
    QVERIFY(QDir().mkpath(folder));
    // A w1_slave beside the temperature file must not be read.
    if (file == u"temperature")
        writeFile(folder + QStringLiteral("/w1_slave"), "garbage");
    writeFile(folder + u'/' + file, text);

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
                       "10-000001234567", "28-000001234567", "3b-000000000002", "22-000000000003",
                       "28-00000123456",  "28-00000123456g", "00-800000000000"}
        << QStringList{code("10-000001234567"),
                       code("22-000000000003"),
                       QStringLiteral("BC0000000ABCDE28"),
                       QStringLiteral("3000000123456728"),
                       code("3b-000000000002"),
                       code("42-000000000001")};
    QTest::newRow("only the master") << QStringList{"w1_bus_master1"} << QStringList{};
}

// Discovery as a plain folder gives it.
void TestW1Tree::discovery()
{
    QFETCH(QStringList, folders);
    QFETCH(QStringList, romCodes);

    const auto root = scratchDir(QStringLiteral("w1discovery"));
    for (const QString& folder : folders)
        QVERIFY(QDir(root->path()).mkdir(folder));
    writeFile(root->filePath(QStringLiteral("28-111111111111")), "a file, not a folder");
    const W1Tree::Listing listing = W1Tree(root->path()).list();
    QCOMPARE(listing.problem, QString());
    QCOMPARE(listing.romCodes, romCodes);
    QVERIFY(!W1Tree(root->filePath(QStringLiteral("gone"))).list().problem.isEmpty());
}

void TestW1Tree::folderNames()
{
    for (const QString name : {"28-000001234567", "10-0008029d5a1c", "3b-0000000abcde", "42-00000000ffff"})
        QCOMPARE(w1FolderName(readRomCode(name, RomFamilies::AnyThermometer).romCode.value()), name);
}

QTEST_GUILESS_MAIN(TestW1Tree)
#include "tst_w1tree.moc"
