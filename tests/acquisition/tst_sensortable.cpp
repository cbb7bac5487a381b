#include "fakes.h"

#include "acquisition/sensortable.h"
#include "sources/adapter/adapteraddress.h"
#include "sources/adapter/adapterreader.h"

#include <QTest>

using namespace quorvel::acquisition;
using namespace quorvel::testing;

namespace {

// Dallas/Maxim CRC-8 (x^8 + x^5 + x^4 + 1, reflected 0x8C) over bytes in bus order.
quint8 crc8(const QByteArray& bytes)
{
    quint8 crc = 0;
    for (const char ch : bytes) {
        quint8 b = static_cast<quint8>(ch);
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = (crc ^ b) & 1;
            crc >>= 1;
            if (mix)
                crc ^= 0x8C;
            b >>= 1;
        }
    }
    return crc;
}

} // namespace

class tst_SensorTable : public QObject {
    Q_OBJECT
private slots:
    void urlsByteForByte_data();
    void urlsByteForByte();
    void romCodesCarryValidCrc_data();
    void romCodesCarryValidCrc();
    void readAnswer_data();
    void readAnswer();
    void adapterAddress_data();
    void adapterAddress();
};

void tst_SensorTable::urlsByteForByte_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("expected");
    const QString prefix = QStringLiteral("http://127.0.0.1/1Wire/ReadDS18B20.html?DS18B20Request=%7b");
    const char* roms[] = {"9C000000B4A89828", "06000000A4EC7428", "A1000000A4D34C28", "E6000000B4E6AC28",
                          "6E00000027CD1E28", "92000000A4F27928", "A1000000180B0528", "47000000A4F3AD28",
                          "88000000B4A59328", "EC00000027A23328", "EE000000B4913B28", "B900000027CA8F28",
                          "40000000B491CF28"};
    for (int i = 0; i < 13; ++i)
        QTest::addRow("slot %d", i) << i << prefix + QLatin1String(roms[i]) + QStringLiteral(",12%7d");
}

void tst_SensorTable::urlsByteForByte()
{
    QFETCH(int, slot);
    QFETCH(QString, expected);
    const auto urlsAt = [](const QString& address) {
        QStringList urls;
        for (const QString& rom : builtInRomCodes())
            urls << sensorUrl(address, rom);
        return urls;
    };
    SensorTable table;
    table.setSlots(urlsAt(QStringLiteral("127.0.0.1")));
    QCOMPARE(table.url(slot).toLatin1(), expected.toLatin1());
    QVERIFY(!table.isEmpty(slot));
    QCOMPARE(table.Readings[slot], 0.0f);

    table.setSlots(urlsAt(QStringLiteral("127.0.0.1:8080")));
    QVERIFY(table.url(slot).startsWith(QStringLiteral("http://127.0.0.1:8080/1Wire/")));
}

void tst_SensorTable::romCodesCarryValidCrc_data()
{
    QTest::addColumn<int>("slot");
    for (int i = 0; i < SensorCount; ++i)
        QTest::addRow("sensor %d", i + 1) << i;
}

void tst_SensorTable::romCodesCarryValidCrc()
{
    QFETCH(int, slot);
    const QByteArray rom = QByteArray::fromHex(QByteArray(RomCodes[slot].data(), 16));
    QCOMPARE(rom.size(), 8);
    QCOMPARE(static_cast<quint8>(rom.back()), quint8(0x28)); // DS18B20 family
    QByteArray busOrder;
    for (int i = 7; i >= 1; --i)
        busOrder.append(rom[i]);
    QCOMPARE(crc8(busOrder), static_cast<quint8>(rom.front()));
}

// Each row reads its pages one after the other into one slot that held 7 before.
void tst_SensorTable::readAnswer_data()
{
    QTest::addColumn<QStringList>("pages"); // a value, or <missing>, <no answer>, <http error>
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<float>("stored");
    const auto row = [](const char* name, QStringList pages, QStringList outcomes, float stored) {
        QTest::newRow(name) << pages << outcomes << stored;
    };
    row("reading", {"23.5625"}, {"ok"}, 23.5625f);
    row("negative", {"-10.125"}, {"ok"}, -10.125f);
    row("blanks around", {" 18.5 "}, {"ok"}, 18.5f);
    row("missing element", {"<missing>"}, {"no_element"}, 7.0f);
    row("empty value", {""}, {"not_a_number"}, 7.0f);
    row("dashes", {"----"}, {"not_a_number"}, 7.0f);
    row("NaN", {"NaN"}, {"not_a_number"}, 7.0f);
    row("beyond single", {"1e39"}, {"not_a_number"}, 7.0f);
    row("error page", {"<http error>"}, {"http_error"}, 7.0f);
    row("no answer", {"<no answer>"}, {"no_answer"}, 7.0f);
    // The power-on value: as the first reading, after a failure or after a jump; the log keeps it.
    row("85 first", {"85"}, {"power_on_reset"}, 85.0f);
    row("85.0 first", {"85.0"}, {"power_on_reset"}, 85.0f);
    row("85 twice in a row", {"85", "85", "85"}, {"power_on_reset", "ok", "ok"}, 85.0f);
    row("85 after a jump", {"22", "85", "22.0625"}, {"ok", "power_on_reset", "ok"}, 22.0625f);
    row("85 after a failure", {"84.5", "<no answer>", "85"}, {"ok", "no_answer", "power_on_reset"}, 85.0f);
    row("85 after a bad page", {"84.5", "----", "85"}, {"ok", "not_a_number", "power_on_reset"}, 85.0f);
    row("85 reached gradually", {"80", "84.5", "85"}, {"ok", "ok", "ok"}, 85.0f);
    row("85 ten below", {"75", "85"}, {"ok", "ok"}, 85.0f);
    row("85 just over ten below", {"74.9375", "85"}, {"ok", "power_on_reset"}, 85.0f);
    row("85.0625 first", {"85.0625"}, {"ok"}, 85.0625f);
}

void tst_SensorTable::readAnswer()
{
    QFETCH(QStringList, pages);
    QFETCH(QStringList, outcomes);
    QFETCH(float, stored);
    SensorTable table;
    table.Readings[3] = 7.0f;
    QStringList got;
    for (const QString& page : pages) {
        QMap<QString, QString> values;
        if (!page.startsWith(QLatin1Char('<')))
            values.insert(QStringLiteral("Temperature_0"), page);
        const bool answered = page != QLatin1String("<no answer>");
        const std::optional<QString> error =
            page == QLatin1String("<http error>")
                ? std::optional(QStringLiteral("HTTP 500 Internal Server Error"))
            : answered ? std::nullopt
                       : std::optional(QStringLiteral("Connection refused"));
        FakeDocument doc(values, error);
        const auto result = table.takeAnswer(3, AdapterReader::answerOf(&doc, answered));
        got << readOutcomeLabel(result.outcome);
        // A failure says why; the reason of an error page is its own.
        const bool failed = result.outcome != ReadOutcome::Ok && result.outcome != ReadOutcome::PowerOnReset;
        QCOMPARE(result.reason.isEmpty(), !failed);
        if (error)
            QCOMPARE(result.reason, *error);
    }
    QCOMPARE(got, outcomes);
    QCOMPARE(table.Readings[3], stored);
    QCOMPARE(table.takeAnswer(3, AdapterReader::answerOf(nullptr, true)).outcome, ReadOutcome::HttpError);
    QCOMPARE(table.Readings[3], stored);
    QCOMPARE(table.Readings[2], 0.0f);
}

void tst_SensorTable::adapterAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("loopback") << "127.0.0.1" << true;
    QTest::newRow("with port") << "127.0.0.1:8080" << true;
    QTest::newRow("port 1") << "127.0.0.1:1" << true;
    QTest::newRow("port 65535") << "127.0.0.1:65535" << true;
    QTest::newRow("all zero") << "0.0.0.0" << true;
    QTest::newRow("top octets") << "255.255.255.255" << true;
    QTest::newRow("port 0") << "127.0.0.1:0" << false;
    QTest::newRow("port 65536") << "127.0.0.1:65536" << false;
    QTest::newRow("empty port") << "127.0.0.1:" << false;
    QTest::newRow("signed port") << "127.0.0.1:+80" << false;
    QTest::newRow("octet 256") << "127.0.0.256" << false;
    QTest::newRow("three octets") << "127.0.1" << false;
    QTest::newRow("five octets") << "127.0.0.1.1" << false;
    QTest::newRow("leading zero") << "127.0.0.01" << false;
    QTest::newRow("host name") << "localhost" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("blank inside") << "127.0.0. 1" << false;
    QTest::newRow("ipv6") << "::1" << false;
    QTest::newRow("path") << "127.0.0.1/x" << false;
    QTest::newRow("scheme") << "http://127.0.0.1" << false;
}

void tst_SensorTable::adapterAddress()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    const auto parsed = parseAdapterAddress(text);
    QCOMPARE(parsed.has_value(), accepted);
    if (accepted)
        QCOMPARE(*parsed, text);
}

QTEST_GUILESS_MAIN(tst_SensorTable)
#include "tst_sensortable.moc"
