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

// Sets the sensors and waits for each one's setup (its power read, its resolution's path) to be told.
QList<SensorFacts> setUp(OwserverReader& reader, const QStringList& sensors)
{
    QSignalSpy described(&reader, &OwserverReader::described);
    reader.setSensors(sensors);
    QList<SensorFacts> facts(sensors.size());
    while (described.size() < sensors.size() && described.wait(15000)) {
    }
    for (const QList<QVariant>& told : described)
        facts[told.at(0).toInt()] = told.at(1).value<SensorFacts>();
    return facts;
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
    void initTestCase()
    {
        qRegisterMetaType<SensorAnswer>();
        qRegisterMetaType<SensorFacts>();
        qRegisterMetaType<BusAction>();
    }

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
        const int implausible = int(ReadOutcome::Implausible);
        const QString failedConversion = "with 127.9375 °C: the value a failed conversion leaves";
        QTest::newRow("a failed conversion")
            << kept(value("    127.9375")) << implausible << 127.9375f << failedConversion;
        QTest::newRow("a failed conversion, six digits")
            << kept(value("     127.938")) << implausible << 127.938f << failedConversion;
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
        QCOMPARE(setUp(reader, {First}).at(0).parasite, down ? std::nullopt : std::optional(false));
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
        QList<Answer> powers;
        for (int i = 0; i < 3; ++i) {
            replies.append({value(QByteArray::number(20 + i), keep), !keep});
            powers.append({value("1", keep), !keep});
        }
        Server server(powers + replies + replies);
        QVERIFY(server.listen());
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy noticed(&reader, &OwserverReader::noticed);
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
        QList<QByteArray> setup;
        for (const char* id : {"28.000028D70000", "28.000028D70100", "28.000028D70200"}) {
            sweep.append("/uncached/" + QByteArray(id) + "/" + kind);
            setup.append("/uncached/" + QByteArray(id) + "/power");
        }
        QCOMPARE(paths(server), setup + sweep + sweep);
        QCOMPARE(reader.connectionsOpened(), connections);
        QVERIFY(noticed.isEmpty()); // powered sensors
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
        QTest::newRow("one asked: the other from the bus's conversion")
            << QList<int>{10, 0} << QList{value("0"), entries(id1, {10}), value("0")}
            << QList<QByteArray>{"/simultaneous/temperature 1", "/uncached/" + id1 + "/temperature10",
                                 "/uncached/" + id2 + "/latesttemp"}
            << QStringList{"parasite 1, bits 10 of 10", "parasite 1, bits 0 of 0"}
            << QString("sensors " + id1 + ", " + id2 +
                       " are parasite-powered and the server converts all at once");
        QTest::newRow("no path for it")
            << QList<int>{11, 0} << QList{error(-1), entries(id1, {9}), value("1")}
            << QList<QByteArray>{"/simultaneous/temperature 1", "/uncached/" + id1 + "/latesttemp",
                                 "/uncached/" + id2 + "/latesttemp"}
            << QStringList{"parasite ?, bits 0 of 11: " + id1 +
                               " has no resolution to set: the server has no temperature11 for it",
                           "parasite 0, bits 0 of 0"}
            << QString();
        // Told at once for every sensor, not one deadline each; set up again before the sweep, told again.
        QTest::newRow("the server hangs up")
            << QList<int>{9, 0} << QList{QByteArray(), value("1"), entries(id1, {9}), value("0")}
            << QList<QByteArray>{"/simultaneous/temperature 1", "/uncached/" + id1 + "/temperature9",
                                 "/uncached/" + id2 + "/latesttemp"}
            << QStringList{"parasite ?, bits 0 of 9: the resolution was not set: no answer from 127.0.0.1:",
                           "parasite ?, bits 0 of 0", "parasite 0, bits 9 of 9", "parasite 1, bits 0 of 0"}
            << QString("sensor " + id2 + " is parasite-powered");
        QTest::newRow("its listing fails")
            << QList<int>{0, 9} << QList{value("1"), value("0"), error(-5)}
            << QList<QByteArray>{"/simultaneous/temperature 1", "/uncached/" + id1 + "/latesttemp",
                                 "/uncached/" + id2 + "/latesttemp"}
            << QStringList{"parasite 0, bits 0 of 0",
                           "parasite 1, bits 0 of 9: the resolution was not set: the server's listing of /" +
                               id2 + " failed: error 5 (I/O error)"}
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
        for (int sweepNumber = 0; sweepNumber < 2; ++sweepNumber) {
            for (int slot = 0; slot < 2; ++slot) {
                reader.read(slot);
                QCOMPARE(answerOf(spy, 2 * sweepNumber + slot + 1).value, 20.5f);
            }
        }
        QCOMPARE(paths(server).mid(setup.size()), sweep + sweep);
        QStringList told;
        for (const QList<QVariant>& got : described)
            told.append(shownFacts(got.at(1).value<SensorFacts>()));
        QCOMPARE(told.size(), facts.size());
        for (int i = 0; i < told.size(); ++i)
            QVERIFY2(told[i].startsWith(facts[i]), qPrintable(told[i]));
        QCOMPARE(noticed.size(), notice.isEmpty() ? 0 : 1);
        if (!notice.isEmpty())
            QVERIFY2(noticed.at(0).at(0).toString().startsWith(notice),
                     qPrintable(noticed.at(0).at(0).toString()));
    }

    // A search lists the server's devices afresh, past its cache, and tells what it found or why it could
    // not.
    void searches_data()
    {
        QTest::addColumn<Answer>("reply");
        QTest::addColumn<QStringList>("devices");
        QTest::addColumn<QString>("problem");
        QTest::newRow("devices, a ghost among them")
            << kept(listing({"/uncached/28.000028D70100", "/uncached/bus.0", "/uncached/00.A20000000000",
                             "/uncached/28.000028D70000", "/uncached/simultaneous"}))
            << QStringList{"00.A20000000000", "28.000028D70000", "28.000028D70100"} << QString();
        QTest::newRow("none") << kept(listing({"/uncached/bus.0"})) << QStringList{} << QString();
        QTest::newRow("refused") << kept(error(-5)) << QStringList{}
                                 << "the server's listing of /uncached/ failed: error 5 (I/O error)";
        QTest::newRow("garbage") << kept(Garbage) << QStringList{} << "not a 1-Wire server's reply";
        QTest::newRow("never answers") << ScriptedServer::noAnswer() << QStringList{} << "within 10 s";
    }
    void searches()
    {
        QFETCH(Answer, reply);
        QFETCH(QStringList, devices);
        QFETCH(QString, problem);
        Server server({reply});
        QVERIFY(server.listen());
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        auto* deadline = new ManualTimer;
        reader.setDeadlineTimer(std::unique_ptr<ManualTimer>(deadline));
        QSignalSpy found(&reader, &OwserverReader::devicesFound);
        QSignalSpy acted(&reader, &OwserverReader::acted);
        QVERIFY(reader.offers(BusAction::Search) && !reader.offers(BusAction::Rebind));
        reader.act(BusAction::Search);
        QTRY_COMPARE(server.requests(), 1);
        if (problem.contains("within"))
            deadline->fire();
        QVERIFY(!acted.isEmpty() || acted.wait(15000));
        QCOMPARE(acted.at(0).at(0).value<BusAction>(), BusAction::Search);
        const QString said = acted.at(0).at(1).toString();
        QVERIFY2(problem.isEmpty() ? said.isEmpty() : said.contains(problem), qPrintable(said));
        QCOMPARE(found.size(), problem.isEmpty() ? 1 : 0);
        if (problem.isEmpty())
            QCOMPARE(found.at(0).at(0).toStringList(), devices);
        QCOMPARE(paths(server), QList<QByteArray>{"/uncached/"});
    }

    // Asked during a read that the cycle then gives up: the discovery goes on.
    void discovers()
    {
        Server server({kept(value("1")), ScriptedServer::noAnswer(),
                       kept(listing({"/28.000028D70100", "/bus.0", "/10.000010EF0200", "/1F.000000000000",
                                     "/00.A10000000000", "/28.000028D70000", "/uncached"})),
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

        QSignalSpy failed(&reader, &OwserverReader::discoveryFailed);
        reader.discover();
        QVERIFY(failed.wait(15000));
        QVERIFY2(failed.at(0).at(0).toString().contains("not a 1-Wire server's reply"),
                 qPrintable(failed.at(0).at(0).toString()));
    }

    // Debian's server with simulated sensors: the reader finds them and reads what owread reads, the bus
    // converted at once, one sensor alone, and one the server does not have.
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
        int answers = 0;
        for (const QStringList& list : {sensors, QStringList{Second}, QStringList{absent}}) {
            reader.setSensors(list);
            for (int slot = 0; slot < list.size(); ++slot) {
                reader.read(slot);
                const SensorAnswer got = answerOf(spy, ++answers);
                const QString said =
                    server.owread("/" + quorvel::acquisition::serverId(list[slot]) + "/temperature");
                QCOMPARE(int(got.outcome), int(said.isEmpty() ? ReadOutcome::NoSensor : ReadOutcome::Ok));
                QCOMPARE(got.value, said.toFloat());
            }
        }
    }

    // Debian's server: each sensor's power as owread reads it, the resolution's path where the server has
    // one (not for its DS18S20), reads at it, parasite power with the bus's conversion told once, and a
    // search that lists the devices.
    void setsUpARealServer()
    {
        if (!OwserverProcess::available())
            QSKIP("owserver or owread is not installed (scripts/install-deps installs them)");
        OwserverProcess server;
        QVERIFY(server.start(QStringLiteral("28,28,10")));
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy noticed(&reader, &OwserverReader::noticed);
        QSignalSpy devices(&reader, &OwserverReader::devicesFound);
        QSignalSpy acted(&reader, &OwserverReader::acted);
        const QStringList sensors{"CA0002EF10000010", First, Second};
        const QStringList read{"temperature", "temperature9", "temperature"};
        reader.setResolutions({10, 9, std::nullopt}, false);
        const QList<SensorFacts> facts = setUp(reader, sensors);
        QCOMPARE(facts.size(), 3);
        bool anyParasite = false;
        QSignalSpy spy(&reader, &OwserverReader::answered);
        for (int slot = 0; slot < 3; ++slot) {
            const QString id = quorvel::acquisition::serverId(sensors[slot]);
            const QString power = server.owread("/" + id + "/power");
            QVERIFY(power == "0" || power == "1");
            QCOMPARE(facts[slot].parasite, std::optional(power == "0"));
            anyParasite = anyParasite || power == "0";
            QCOMPARE(facts[slot].resolution, slot == 1 ? std::optional(9) : std::nullopt);
            QCOMPARE(facts[slot].problem.isEmpty(), slot != 0);
            reader.read(slot);
            const SensorAnswer got = answerOf(spy, slot + 1);
            QCOMPARE(int(got.outcome), int(ReadOutcome::Ok));
            QCOMPARE(got.value, server.owread("/" + id + "/" + read[slot]).toFloat());
        }
        QCOMPARE(facts[0].problem,
                 "10.000010EF0200 has no resolution to set: the server has no temperature10 for it");
        QCOMPARE(noticed.size(), anyParasite ? 1 : 0);
        reader.act(BusAction::Search);
        QTRY_COMPARE_WITH_TIMEOUT(acted.size(), 1, 15000);
        QCOMPARE(acted.at(0).at(1).toString(), QString());
        QCOMPARE(devices.at(0).at(0).toStringList(),
                 QStringList({"10.000010EF0200", "28.000028D70000", "28.000028D70100"}));
    }
};

QTEST_GUILESS_MAIN(TestOwserverReader)
#include "tst_owserverreader.moc"
