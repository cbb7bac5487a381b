#include "acquisition/sensorlist.h"

#include <QTemporaryDir>
#include <QtTest>

#include <array>

using quorvel::acquisition::parseSensorList;
using quorvel::acquisition::readSensorList;
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
    void missingFile();
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
                       "list:3: a ROM code has 16 hexadecimal digits, \"XYZ\" has 3"};
    QTest::newRow("no sensor") << QByteArray("# nothing yet\n\n") << QStringList{"list: no sensor is listed"};
    QTest::newRow("empty file") << QByteArray() << QStringList{"list: no sensor is listed"};
    QTest::newRow("one hundred and one")
        << generatedList(101) << QStringList{"list:101: more than 100 sensors"};
    QTest::newRow("not UTF-8") << QByteArray("40000000B491CF28 K\xfc"
                                             "che\n")
                               << QStringList{"list: the file is not UTF-8 text"};
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

void TestSensorList::missingFile()
{
    QTemporaryDir dir;
    const SensorListResult result = readSensorList(dir.filePath(QStringLiteral("absent")));
    QCOMPARE(result.status, SensorListResult::Status::NoInput);
    QCOMPARE(result.errors.size(), 1);
    QVERIFY2(result.errors.first().startsWith(dir.filePath(QStringLiteral("absent")) + QStringLiteral(": ")),
             qPrintable(result.errors.first()));
}

QTEST_GUILESS_MAIN(TestSensorList)
#include "tst_sensorlist.moc"
