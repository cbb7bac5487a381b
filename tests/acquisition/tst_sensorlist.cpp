#include "acquisition/sensorlist.h"

#include <QTemporaryDir>
#include <QtTest>

#include <array>

#include <sys/stat.h>

using quorvel::acquisition::parseSensorList;
using quorvel::acquisition::readRomCode;
using quorvel::acquisition::readSensorList;
using quorvel::acquisition::RomCodeReading;
using quorvel::acquisition::RomFamilies;
using quorvel::acquisition::SensorListResult;

namespace {

// Thirteen real DS18B20 codes, copied here as the independent check of the CRC.
const QByteArray thirteen = "9C000000B4A89828\n06000000A4EC7428\nA1000000A4D34C28\nE6000000B4E6AC28\n"
                            "6E00000027CD1E28\n92000000A4F27928\nA1000000180B0528\n47000000A4F3AD28\n"
                            "88000000B4A59328\nEC00000027A23328\nEE000000B4913B28\nB900000027CA8F28\n"
                            "40000000B491CF28\n";

// n distinct well-formed codes, serials 1..n.
QByteArray generatedList(int n)
{
    QByteArray text;
    for (int serial = 1; serial <= n; ++serial) {
        std::array<std::uint8_t, 7> bytes{0x28, std::uint8_t(serial), 0, 0, 0, 0, 0};
        const std::uint8_t crc = quorvel::acquisition::dallasCrc8(bytes.data(), bytes.size());
        text += QByteArray::number(crc, 16).rightJustified(2, '0').toUpper() + "0000000000" +
                QByteArray::number(serial, 16).rightJustified(2, '0').toUpper() + "28\n";
    }
    return text;
}

QStringList described(const SensorListResult& result)
{
    QStringList out;
    for (const auto& sensor : result.sensors)
        out.append(sensor.name.isEmpty() ? sensor.romCode : sensor.romCode + u'|' + sensor.name);
    return out;
}

} // namespace

class TestSensorList : public QObject {
    Q_OBJECT
private slots:
    void goodLists_data();
    void goodLists();
    void badLists_data();
    void badLists();
    void files_data();
    void files();
    void romCodeForms_data();
    void romCodeForms();
};

void TestSensorList::goodLists_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("first");

    QTest::newRow("the built-in thirteen")
        << thirteen << 13 << QStringList{"9C000000B4A89828", "06000000A4EC7428"};
    QTest::newRow("names, comments, blank lines, lower case, CRLF")
        << QByteArray(
               "# my sensors\r\n\r\n9c000000b4a89828 Living room\r\n  06000000A4EC7428\tcellar  north \r\n"
               "   # indented comment\n")
        << 2 << QStringList{"9C000000B4A89828|Living room", "06000000A4EC7428|cellar  north"};
    QTest::newRow("one sensor, no line end")
        << QByteArray("40000000B491CF28") << 1 << QStringList{"40000000B491CF28"};
    QTest::newRow("a name in UTF-8") << QByteArray("40000000B491CF28 K\xc3\xbc"
                                                   "che")
                                     << 1 << QStringList{QStringLiteral("40000000B491CF28|Küche")};
    QTest::newRow("one hundred") << generatedList(100) << 100 << QStringList{};
    QTest::newRow("Linux's form, CRC computed")
        << QByteArray("28-000001234567 Cellar\n28-0000000abcde\n") << 2
        << QStringList{"3000000123456728|Cellar", "BC0000000ABCDE28"};
    QTest::newRow("bytes separated by blanks")
        << QByteArray("30 00 00 01 23 45 67 28 Cellar\n") << 1 << QStringList{"3000000123456728|Cellar"};
    // Characters, not UTF-16 units or bytes: four bytes and two units each.
    QTest::newRow("a name of 100 characters")
        << "40000000B491CF28 " + QByteArray("\xf0\x9f\x8c\xa1").repeated(100) << 1
        << QStringList{"40000000B491CF28|" + QString::fromUtf8(QByteArray("\xf0\x9f\x8c\xa1").repeated(100))};
}

void TestSensorList::goodLists()
{
    QFETCH(QByteArray, text);
    QFETCH(int, count);
    QFETCH(QStringList, first);

    const SensorListResult result = parseSensorList(text, QStringLiteral("list"));
    QVERIFY2(result.errors.isEmpty(), qPrintable(result.errors.join(u'\n')));
    QCOMPARE(result.status, SensorListResult::Status::Ok);
    QCOMPARE(result.sensors.size(), count);
    QCOMPARE(described(result).mid(0, first.size()), first);
}

void TestSensorList::badLists_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("errors");

    QTest::newRow("too short")
        << QByteArray("9C000000B4A898 x\n")
        << QStringList{"list:1: a ROM code has 16 hexadecimal digits, \"9C000000B4A898\" has 14"};
    QTest::newRow("too long")
        << QByteArray("\n9C000000B4A8982800\n")
        << QStringList{"list:2: a ROM code has 16 hexadecimal digits, \"9C000000B4A8982800\" has 18"};
    QTest::newRow("not hexadecimal")
        << QByteArray("9C000000B4A8982G\n")
        << QStringList{"list:1: \"G\" is not a hexadecimal digit in ROM code 9C000000B4A8982G"};
    QTest::newRow("another family")
        << QByteArray("9C000000B4A89810\n")
        << QStringList{"list:1: family code 10 is not a DS18B20's (28) in ROM code 9C000000B4A89810"};
    QTest::newRow("wrong CRC")
        << QByteArray("9D000000B4A89828\n")
        << QStringList{"list:1: CRC 9D is wrong in ROM code 9D000000B4A89828: it should be 9C"};
    QTest::newRow("listed twice, other case")
        << QByteArray("9C000000B4A89828 a\n9c000000b4a89828 b\n")
        << QStringList{"list:2: ROM code 9C000000B4A89828 is listed already, on line 1"};
    QTest::newRow("one message per bad line")
        << QByteArray("9D000000B4A89828\n40000000B491CF28\nxyz\n")
        << QStringList{"list:1: CRC 9D is wrong in ROM code 9D000000B4A89828: it should be 9C",
                       "list:3: \"X\" is not a hexadecimal digit in ROM code XYZ"};
    QTest::newRow("no sensor") << QByteArray("# nothing yet\n\n") << QStringList{"list: no sensor is listed"};
    QTest::newRow("empty file") << QByteArray() << QStringList{"list: no sensor is listed"};
    QTest::newRow("one hundred and one")
        << generatedList(101) << QStringList{"list:101: more than 100 sensors"};
    QTest::newRow("not UTF-8") << QByteArray("40000000B491CF28 K\xfc"
                                             "che\n")
                               << QStringList{"list:1: byte 19 of the line (0xFC) is not UTF-8 text"};
    QTest::newRow("a cut sequence on line 3")
        << QByteArray("\n# x\n40000000B491CF28 \xc3(\n\xfc\n")
        << QStringList{"list:3: byte 18 of the line (0xC3) is not UTF-8 text"};
    QTest::newRow("an encoded surrogate")
        << QByteArray("#\xed\xa0\x80\n")
        << QStringList{"list:1: byte 2 of the line (0xED) is not UTF-8 text"};
    QTest::newRow("a NUL before the ROM code")
        << QByteArray("\0"
                      "3000000123456728\n",
                      18)
        << QStringList{"list:1: \"\\x00\" is not a hexadecimal digit in ROM code \\x003000000123456728"};
    QTest::newRow("Linux's form, a digit short")
        << QByteArray("28-00000123456\n")
        << QStringList{"list:1: a 1-Wire ID has 12 hexadecimal digits after the family code and the dash, "
                       "\"28-00000123456\" has 11"};
    QTest::newRow("Linux's form, another family")
        << QByteArray("10-000001234567\n")
        << QStringList{"list:1: family code 10 is not a DS18B20's (28) in 1-Wire ID 10-000001234567"};
    QTest::newRow("family code first")
        << QByteArray("2867452301000030\n28 67 45 23 01 00 00 30 Cellar\n")
        << QStringList{
               "list:1: ROM code 2867452301000030 is written family code first; the adapter writes it "
               "CRC first, family code last: 3000000123456728",
               "list:2: ROM code 28 67 45 23 01 00 00 30 is written family code first; the adapter "
               "writes it CRC first, family code last: 3000000123456728"};
    QTest::newRow("a name of 101 characters")
        << "40000000B491CF28 " + QByteArray(101, 'x')
        << QStringList{"list:1: a name has at most 100 characters, this one has 101"};
    QTest::newRow("a NUL, a line separator and a direction override in names")
        << QByteArray("40000000B491CF28 K\0x\n3000000123456728 a\xe2\x80\xa8"
                      "b\n"
                      "BC0000000ABCDE28 \xe2\x80\xae"
                      "ab\n",
                      67)
        << QStringList{"list:1: a name is one line, without control characters, line separators or direction "
                       "controls: U+0000 at character 2",
                       "list:2: a name is one line, without control characters, line separators or direction "
                       "controls: U+2028 at character 2",
                       "list:3: a name is one line, without control characters, line separators or direction "
                       "controls: U+202E at character 1"};
    QStringList told;
    for (int line = 1; line <= 20; ++line)
        told << QStringLiteral("list:%1: \"X\" is not a hexadecimal digit in ROM code X").arg(line);
    QTest::newRow("twenty bad lines told, then how many more")
        << QByteArray("x\n").repeated(25) << told + QStringList{"list: 5 more bad lines"};
    QTest::newRow("one more bad line")
        << QByteArray("x\n").repeated(21) << told + QStringList{"list: 1 more bad line"};
}

void TestSensorList::badLists()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, errors);

    const SensorListResult result = parseSensorList(text, QStringLiteral("list"));
    QCOMPARE(result.status, SensorListResult::Status::BadData);
    QCOMPARE(result.errors, errors);
    QVERIFY(result.sensors.isEmpty());
}

void TestSensorList::files_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error"); // after "PATH: "; empty for a good list
    QTest::newRow("missing") << "missing" << int(SensorListResult::Status::NoInput)
                             << "No such file or directory";
    QTest::newRow("a FIFO with no writer")
        << "fifo" << int(SensorListResult::Status::NoInput) << "is a FIFO, not a regular file";
    QTest::newRow("a folder") << "folder" << int(SensorListResult::Status::NoInput)
                              << "is a folder, not a regular file";
    QTest::newRow("1 MiB exactly") << "1048576" << int(SensorListResult::Status::Ok) << "";
    QTest::newRow("a byte more")
        << "1048577" << int(SensorListResult::Status::BadData)
        << "larger than a list of 100 sensors can need; a sensor list has at most 1048576 bytes (1 MiB)";
}

// What the file is, not what it holds: none of these is read whole, and none waits.
void TestSensorList::files()
{
    QFETCH(QString, kind);
    QFETCH(int, status);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list"));
    if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("list")));
    } else if (kind != QLatin1String("missing")) {
        const QByteArray sensor = "40000000B491CF28\n";
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray text = sensor + QByteArray(kind.toInt() - sensor.size() - 1, '#') + '\n';
        QCOMPARE(file.write(text), qint64(kind.toInt()));
    }
    const SensorListResult result = readSensorList(path);
    QCOMPARE(int(result.status), status);
    QCOMPARE(result.errors,
             error.isEmpty() ? QStringList{} : QStringList{path + QStringLiteral(": ") + error});
    QCOMPARE(result.sensors.size(), error.isEmpty() ? 1 : 0);
}

void TestSensorList::romCodeForms_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("anyThermometer");
    QTest::addColumn<QString>("romCode");
    QTest::addColumn<QString>("problem");

    QTest::newRow("a server's form, bytes in bus order") << "28.674523010000" << false << "3000000123456728"
                                                         << "";
    QTest::newRow("a server's form, lower case") << "28.674523010000" << true << "3000000123456728"
                                                 << "";
    QTest::newRow("a server's DS18S20") << "10.674523010000" << true << "D500000123456710"
                                        << "";
    QTest::newRow("Linux's DS1825") << "3b-000001234567" << true << "8C0000012345673B"
                                    << "";
    QTest::newRow("the adapter's form of a DS28EA00") << "9300000123456742" << true << "9300000123456742"
                                                      << "";
    QTest::newRow("a DS18S20 where only DS18B20s are served")
        << "10.674523010000" << false << ""
        << "family code 10 is not a DS18B20's (28) in 1-Wire ID 10.674523010000";
    QTest::newRow("a battery monitor is no thermometer")
        << "26-000001234567" << true << ""
        << "family code 26 is not a temperature sensor's (10, 22, 28, 3B, 42) in 1-Wire ID 26-000001234567";
    QTest::newRow("a server's form, a digit short") << "28.67452301000" << true << ""
                                                    << "a 1-Wire ID has 12 hexadecimal digits after the "
                                                       "family code and the dot, \"28.67452301000\" has 11";
}

void TestSensorList::romCodeForms()
{
    QFETCH(QString, text);
    QFETCH(bool, anyThermometer);
    QFETCH(QString, romCode);
    QFETCH(QString, problem);

    const RomCodeReading reading =
        readRomCode(text, anyThermometer ? RomFamilies::AnyThermometer : RomFamilies::Ds18b20);
    QCOMPARE(reading.romCode.value_or(QString()), romCode);
    QCOMPARE(reading.problem, problem);
}
QTEST_GUILESS_MAIN(TestSensorList)
#include "tst_sensorlist.moc"
