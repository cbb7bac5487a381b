#include "sources/owserver/owserverreader.h"

#include "acquisition/sensorlist.h"
#include "manualtimer.h"
#include "owserverframes.h"
#include "owserverprocess.h"
#include "scriptedserver.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace quorvel::acquisition;
using namespace quorvel::testing::owserverframes;
using quorvel::testing::ManualTimer;
using quorvel::testing::OwserverProcess;
using quorvel::testing::ScriptedServer;
using Answer = ScriptedServer::Reply;

Q_DECLARE_METATYPE(Answer)

namespace {

// Sensors as the tester of a real server names them: 28.000028D70000 and so on, in the adapter's form.
const QString First = QStringLiteral("110000D728000028");
const QString Second = QStringLiteral("D50001D728000028");
const QString Third = QStringLiteral("800002D728000028");
const QByteArray FirstPath = "/uncached/28.000028D70000/temperature";
const QByteArray FirstPower = "/uncached/28.000028D70000/power";
const QByteArray Garbage = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";

Answer kept(const QByteArray& bytes)
{
    return ScriptedServer::keepingOpen(bytes);
}

// A 1-Wire server that plays the script.
struct Server : ScriptedServer {
    explicit Server(QList<Answer> script) : ScriptedServer(std::move(script)) { setRequestEnd(requestEnd); }
};

// Sets the sensors and waits until each one's setup (its power, its resolution's path) is told.
void setUp(OwserverReader& reader, const QStringList& sensors)
{
    QSignalSpy described(&reader, &OwserverReader::described);
    reader.setSensors(sensors);
    QTRY_COMPARE_WITH_TIMEOUT(described.size(), sensors.size(), 15000);
}

QString shownFacts(const SensorFacts& facts)
{
    return QStringLiteral("parasite %1, bits %2 of %3%4")
        .arg(facts.parasite ? QString::number(*facts.parasite) : "?")
        .arg(facts.resolution.value_or(0))
        .arg(facts.wantedResolution.value_or(0))
        .arg(facts.problem.isEmpty() ? QString() : ": " + facts.problem);
}

QByteArray listing(const QList<QByteArray>& entries)
{
    return value(entries.join(',') + QByteArray(1, '\0'));
}

SensorAnswer answerOf(QSignalSpy& spy, int count = 1)
{
    if (spy.size() < count && !spy.wait(15000))
        return {ReadOutcome::Ok, -1000, QStringLiteral("no answered() at all")};
    return spy.at(count - 1).at(1).value<SensorAnswer>();
}

} // namespace

class TestOwserverReader : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<SensorAnswer>(); }

    // One sensor, read with its own conversion; one row per way a server can answer, then the next read
    // gets the value on a connection that works: a fault leaves nothing behind.
    void readsOneSensor_data()
    {
        QTest::addColumn<Answer>("reply");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("reason");
        const int ok = int(ReadOutcome::Ok);
        const int readError = int(ReadOutcome::ReadError);
        const int noAnswer = int(ReadOutcome::NoAnswer);
        const int noSensor = int(ReadOutcome::NoSensor);
        QTest::newRow("value") << kept(value("     21.5625")) << ok << 21.5625f << QString();
        QTest::newRow("after keep-alives")
            << kept(KeepAlive + KeepAlive + KeepAlive + value("       -10.5")) << ok << -10.5f << QString();
        QTest::newRow("power-on value, for the sensor table")
            << kept(value("          85")) << ok << 85.0f << QString();
        QTest::newRow("not found") << kept(error(-1)) << noSensor << 0.0f
                                   << QString("answered " + FirstPath + " with error 1 (not found)");
        QTest::newRow("no such entity") << kept(error(-2)) << noSensor << 0.0f << "error 2 (no such entity)";
        QTest::newRow("I/O error") << kept(error(-5)) << readError << 0.0f << "error 5 (I/O error)";
        QTest::newRow("not a number")
            << kept(value("  twenty")) << readError << 0.0f << "with \"twenty\", not a number";
        QTest::newRow("decimal comma") << kept(value("4,5")) << readError << 0.0f << "\"4,5\", not a number";
        QTest::newRow("nan") << kept(value("nan")) << readError << 0.0f << "\"nan\", not a number";
        QTest::newRow("beyond a float") << kept(value("1e300")) << readError << 0.0f << "not a number";
        const QString range = QStringLiteral("°C, outside any thermometer's range (-60 to 130 °C)");
        QTest::newRow("beyond any thermometer")
            << kept(value("1e38")) << readError << 0.0f << "with a value of 1e+38 " + range;
        QTest::newRow("below absolute zero") << kept(value("-300")) << readError << 0.0f << "-300 " + range;
        QTest::newRow("the highest a thermometer gives") << kept(value("130")) << ok << 130.0f << QString();
        QTest::newRow("a failed conversion, in six digits")
            << kept(value("     127.938")) << int(ReadOutcome::Implausible) << 127.938f
            << "with 127.9375 °C: the value a failed conversion leaves";
        QTest::newRow("the step below it") << kept(value("     127.875")) << ok << 127.875f << QString();
        QTest::newRow("garbage") << kept(Garbage) << readError << 0.0f << "not a 1-Wire server's";
        QTest::newRow("oversized") << kept(header(1 << 30, 1 << 30, RequestFlags, 1 << 30) +
                                           QByteArray(4096, 'x'))
                                   << readError << 0.0f << "more than the 65536 accepted";
        // A dozen bytes promised, two sent.
        QTest::newRow("closes mid-reply")
            << ScriptedServer::closing(header(12, 12, RequestFlags, 12) + "  ") << readError << 0.0f
            << "closed the connection in the middle of the reply";
        QTest::newRow("closes without an answer")
            << ScriptedServer::closeWithoutAnswer() << noAnswer << 0.0f << "no answer from 127.0.0.1:";
        QTest::newRow("never answers") << ScriptedServer::noAnswer() << noAnswer << 0.0f << "within 10 s";
        // The reader is pointed at a port nobody listens on; the scripted server stays unused.
        QTest::newRow("server down") << Answer{} << noAnswer << 0.0f << "refused";
    }
    void readsOneSensor()
    {
        QFETCH(Answer, reply);
        QFETCH(int, outcome);
        QFETCH(float, value);
        QFETCH(QString, reason);
        const bool down = QTest::currentDataTag() == QLatin1String("server down");
        const bool hang = reply.bytes.isEmpty() && !reply.close;
        Server server({kept(::value("1")), reply, kept(::value("          20"))});
        QVERIFY(server.listen());
        OwserverReader reader(QStringLiteral("127.0.0.1"),
                              down ? ScriptedServer::unusedPort() : server.port());
        auto* deadline = new ManualTimer;
        reader.setDeadlineTimer(std::unique_ptr<ManualTimer>(deadline));
        setUp(reader, {First});
        // The read begins on a connection of its own, as it did before the setup.
        server.closeConnections();
        QSignalSpy spy(&reader, &OwserverReader::answered);
        reader.read(0);
        QVERIFY(spy.isEmpty()); // never from inside the call
        if (hang) {
            QTRY_COMPARE(server.requests(), 2);
            QVERIFY(deadline->isHolding() && deadline->interval() == 10000);
            // While the read hangs, everything else on the loop goes on: a listener beside it answers.
            QTcpServer listener;
            QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
            connect(&listener, &QTcpServer::newConnection, &listener,
                    [&] { listener.nextPendingConnection()->write("answered\n"); });
            QTcpSocket client;
            client.connectToHost(QHostAddress::LocalHost, listener.serverPort());
            QTRY_VERIFY_WITH_TIMEOUT(client.canReadLine(), 15000);
            QVERIFY(spy.isEmpty());
            deadline->fire();
        }
        const SensorAnswer got = answerOf(spy);
        QVERIFY2(got.reason.contains(reason), qPrintable(got.reason));
        QCOMPARE(int(got.outcome), outcome);
        QCOMPARE(got.value, value);
        if (down)
            return;
        QCOMPARE(paths(server), QList<QByteArray>({FirstPower, FirstPath}));
        reader.read(0);
        QCOMPARE(answerOf(spy, 2).value, 20.0f);
    }

    // Several sensors: the bus converts once, each then gives what it converted, over one connection; a
    // connection the server closed between sweeps is opened again, one it does not keep each time.
    void sweepsConvertOnce_data()
    {
        QTest::addColumn<bool>("keep");
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<int>("connections");
        QTest::newRow("kept") << true << false << 2;
        QTest::newRow("not kept") << false << false << 11;
        QTest::newRow("a server that refuses the write") << true << true << 2;
    }
    void sweepsConvertOnce()
    {
        QFETCH(bool, keep);
        QFETCH(bool, readOnly);
        QFETCH(int, connections);
        QList<Answer> replies{{readOnly ? error(-30) : value({}, keep), !keep}};
        for (int i = 0; i < 3; ++i)
            replies.append({value(QByteArray::number(20 + i), keep), !keep});
        Server server(QList<Answer>(3, {value("1", keep), !keep}) + replies + replies); // powers first
        QVERIFY(server.listen());
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        setUp(reader, {First, Second, Third});
        QSignalSpy spy(&reader, &OwserverReader::answered);
        for (int sweep = 0; sweep < 2; ++sweep) {
            for (int slot = 0; slot < 3; ++slot) {
                reader.read(slot);
                const SensorAnswer got = answerOf(spy, 3 * sweep + slot + 1);
                QCOMPARE(int(got.outcome), int(ReadOutcome::Ok));
                QCOMPARE(got.value, float(20 + slot));
            }
            server.closeConnections();
        }
        const QByteArray kind = readOnly ? "temperature" : "latesttemp";
        QList<QByteArray> sweep{QByteArray("/simultaneous/temperature 1")};
        for (const char* id : {"28.000028D70000", "28.000028D70100", "28.000028D70200"})
            sweep.append("/uncached/" + QByteArray(id) + "/" + kind);
        QCOMPARE(paths(server).mid(3), sweep + sweep);
        QCOMPARE(reader.connectionsOpened(), connections);
    }

    // A resolution asked is read through the server's path for it, found in the sensor's listing first; the
    // bus converts at once only for sensors read at the resolution they have, and parasite power is told
    // once where it does.
    void readsAtTheResolutionAsked_data()
    {
        QTest::addColumn<QList<int>>("bits");         // 0: none asked
        QTest::addColumn<QList<QByteArray>>("setup"); // empty: the server hangs up without an answer
        QTest::addColumn<QList<QByteArray>>("sweep");
        QTest::addColumn<QStringList>("facts");
        QTest::addColumn<QString>("notice");
        const QByteArray id1 = "28.000028D70000";
        const QByteArray id2 = "28.000028D70100";
        const auto entries = [](const QByteArray& id, const QList<int>& bits) {
            QList<QByteArray> out{"/" + id + "/power", "/" + id + "/temperature"};
            for (int b : bits)
                out.append("/" + id + "/temperature" + QByteArray::number(b));
            return listing(out);
        };
        QTest::newRow("both asked: each converts on its own")
            << QList<int>{9, 12} << QList{value("0"), entries(id1, {9, 10}), value("1"), entries(id2, {12})}
            << QList<QByteArray>{"/uncached/" + id1 + "/temperature9", "/uncached/" + id2 + "/temperature12"}
            << QStringList{"parasite 1, bits 9 of 9", "parasite 0, bits 12 of 12"} << QString();
        // Told at once for every sensor, not one deadline each; set up again before the sweep, told again.
        QTest::newRow("the server hangs up")
            << QList<int>{9, 0} << QList{QByteArray(), value("1"), entries(id1, {9}), value("0")}
            << QList<QByteArray>{"/simultaneous/temperature 1", "/uncached/" + id1 + "/temperature9",
                                 "/uncached/" + id2 + "/latesttemp"}
            << QStringList{"parasite ?, bits 0 of 9: the resolution was not set: no answer from 127.0.0.1:",
                           "parasite ?, bits 0 of 0", "parasite 0, bits 9 of 9", "parasite 1, bits 0 of 0"}
            << QString("sensor " + id2 + " is parasite-powered");
    }
    void readsAtTheResolutionAsked()
    {
        QFETCH(QList<int>, bits);
        QFETCH(QList<QByteArray>, setup);
        QFETCH(QList<QByteArray>, sweep);
        QFETCH(QStringList, facts);
        QFETCH(QString, notice);
        QList<Answer> script;
        for (const QByteArray& reply : setup)
            script.append(reply.isEmpty() ? ScriptedServer::closeWithoutAnswer() : kept(reply));
        for (const QByteArray& path : sweep)
            script.append(kept(path.startsWith("/simultaneous") ? value({}) : value("20.5")));
        Server server(script + script.mid(setup.size()));
        QVERIFY(server.listen());
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy noticed(&reader, &OwserverReader::noticed);
        QList<std::optional<int>> asked;
        for (int b : bits)
            asked.append(b ? std::optional(b) : std::nullopt);
        reader.setResolutions(asked, false);
        QSignalSpy described(&reader, &OwserverReader::described);
        setUp(reader, {First, Second});
        QSignalSpy spy(&reader, &OwserverReader::answered);
        for (int i = 0; i < 4; ++i) { // two sweeps
            reader.read(i % 2);
            QCOMPARE(answerOf(spy, i + 1).value, 20.5f);
        }
        QCOMPARE(paths(server).mid(setup.size()), sweep + sweep);
        QCOMPARE(described.size(), facts.size());
        for (int i = 0; i < facts.size(); ++i) {
            const QString told = shownFacts(described.at(i).at(1).value<SensorFacts>());
            QVERIFY2(told.startsWith(facts[i]), qPrintable(told));
        }
        QVERIFY(noticed.size() <= 1);
        QCOMPARE(noticed.isEmpty() ? QString() : noticed.at(0).at(0).toString().left(notice.size()), notice);
    }

    // Asked during a read that the cycle then gives up: the discovery goes on.
    void discovers()
    {
        Server server(
            {kept(value("1")), ScriptedServer::noAnswer(),
             kept(listing({"/28.000028D70100", "/bus.0", "/10.000010EF0200", "/1F.000000000000",
                           "/00.A10000000000", "/28.000028D70000", "/uncached"})),
             kept(listing({"/uncached/28.000028D70000", "/uncached/00.A20000000000", "/uncached/bus.0"})),
             kept(Garbage)});
        QVERIFY(server.listen());
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy found(&reader, &OwserverReader::discovered);
        QSignalSpy devices(&reader, &OwserverReader::devicesFound);
        QSignalSpy answered(&reader, &OwserverReader::answered);
        setUp(reader, {First});
        reader.read(0);
        reader.discover();
        QTRY_COMPARE(server.requests(), 2);
        reader.cancel();
        QVERIFY(found.wait(15000));
        QVERIFY(answered.isEmpty());
        QCOMPARE(found.at(0).at(0).toStringList(), QStringList({"CA0002EF10000010", First, Second}));
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices.at(0).at(0).toStringList(),
                 QStringList({"00.A10000000000", "10.000010EF0200", "1F.000000000000", "28.000028D70000",
                              "28.000028D70100"}));

        // A search: a fresh listing past the cache, its devices told.
        QSignalSpy acted(&reader, &OwserverReader::acted);
        QVERIFY(reader.offers(BusAction::Search) && !reader.offers(BusAction::Rebind));
        reader.act(BusAction::Search);
        QTRY_COMPARE_WITH_TIMEOUT(acted.size(), 1, 15000);
        QCOMPARE(acted.at(0).at(1).toString(), QString());
        QCOMPARE(devices.at(1).at(0).toStringList(), QStringList({"00.A20000000000", "28.000028D70000"}));
        QCOMPARE(paths(server).at(3), QByteArray("/uncached/"));

        QSignalSpy failed(&reader, &OwserverReader::discoveryFailed);
        reader.discover();
        QVERIFY(failed.wait(15000));
        QVERIFY2(failed.at(0).at(0).toString().contains("not a 1-Wire server's reply"),
                 qPrintable(failed.at(0).at(0).toString()));
    }

    // Debian's server with simulated sensors: the reader finds them and reads what owread reads, the bus
    // converted at once, one sensor alone, and one the server does not have; each one's power, its resolution
    // where the server lists its path (not for a DS18S20; one value at every resolution); a search.
    void readsARealServer()
    {
        if (!OwserverProcess::available())
            QSKIP("owserver or owread is not installed (scripts/install-deps installs them)");
        OwserverProcess server;
        QVERIFY(server.start(QStringLiteral("28,28,10")));
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy found(&reader, &OwserverReader::discovered);
        reader.discover();
        QVERIFY(found.wait(15000));
        const QStringList sensors = found.at(0).at(0).toStringList();
        QCOMPARE(sensors, QStringList({"CA0002EF10000010", First, Second}));
        const QString absent = *readRomCode(u"28.000028D70900", RomFamilies::AnyThermometer).romCode;
        QSignalSpy spy(&reader, &OwserverReader::answered);
        QSignalSpy described(&reader, &OwserverReader::described);
        QSignalSpy devices(&reader, &OwserverReader::devicesFound);
        QSignalSpy acted(&reader, &OwserverReader::acted);
        reader.setResolutions({10, 9}, false);
        const QList<QList<int>> readBack{{0, 9, 0}, {10}, {0}};
        int answers = 0;
        const QList<QStringList> lists{sensors, {Second}, {absent}};
        for (qsizetype k = 0; k < lists.size(); ++k) {
            const QStringList& list = lists[k];
            described.clear();
            setUp(reader, list);
            for (int slot = 0; slot < list.size(); ++slot) {
                const QString power =
                    server.owread("/" + quorvel::acquisition::serverId(list[slot]) + "/power");
                const auto facts = described.at(slot).at(1).value<SensorFacts>();
                QCOMPARE(facts.parasite, power.isEmpty() ? std::nullopt : std::optional(power == "0"));
                QCOMPARE(facts.resolution.value_or(0), readBack[k][slot]);
                reader.read(slot);
                const SensorAnswer got = answerOf(spy, ++answers);
                const QString said =
                    server.owread("/" + quorvel::acquisition::serverId(list[slot]) + "/temperature");
                QCOMPARE(int(got.outcome), int(said.isEmpty() ? ReadOutcome::NoSensor : ReadOutcome::Ok));
                QCOMPARE(got.value, said.toFloat());
            }
        }
        reader.act(BusAction::Search);
        QTRY_COMPARE_WITH_TIMEOUT(acted.size(), 1, 15000);
        QCOMPARE(acted.at(0).at(1).toString(), QString());
        QCOMPARE(devices.at(0).at(0).toStringList(),
                 QStringList({"10.000010EF0200", "28.000028D70000", "28.000028D70100"}));
    }
};

QTEST_GUILESS_MAIN(TestOwserverReader)
#include "tst_owserverreader.moc"
