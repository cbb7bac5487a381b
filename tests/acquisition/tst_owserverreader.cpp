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
const QByteArray Garbage = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";

Answer kept(const QByteArray& bytes)
{
    return ScriptedServer::keepingOpen(bytes);
}

// A 1-Wire server that plays the script.
struct Server : ScriptedServer {
    explicit Server(QList<Answer> script) : ScriptedServer(std::move(script)) { setRequestEnd(requestEnd); }
};

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
        Server server({reply, kept(::value("          20"))});
        QVERIFY(server.listen());
        OwserverReader reader(QStringLiteral("127.0.0.1"),
                              down ? ScriptedServer::unusedPort() : server.port());
        auto* deadline = new ManualTimer;
        reader.setDeadlineTimer(std::unique_ptr<ManualTimer>(deadline));
        reader.setSensors({First});
        QSignalSpy spy(&reader, &OwserverReader::answered);
        reader.read(0);
        QVERIFY(spy.isEmpty()); // never from inside the call
        if (hang) {
            QTRY_COMPARE(server.requests(), 1);
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
        QCOMPARE(paths(server), QList<QByteArray>{FirstPath});
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
        QTest::newRow("not kept") << false << false << 8;
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
        Server server(replies + replies);
        QVERIFY(server.listen());
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        reader.setSensors({First, Second, Third});
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
        QCOMPARE(paths(server), sweep + sweep);
        QCOMPARE(reader.connectionsOpened(), connections);
    }

    // Asked during a read that the cycle then gives up: the discovery goes on.
    void discovers()
    {
        Server server(
            {ScriptedServer::noAnswer(),
             kept(value("/28.000028D70100,/bus.0,/10.000010EF0200,/1F.000000000000,/28.000028D70000,"
                        "/uncached" +
                        QByteArray(1, '\0'))),
             kept(Garbage)});
        QVERIFY(server.listen());
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy found(&reader, &OwserverReader::discovered);
        QSignalSpy answered(&reader, &OwserverReader::answered);
        reader.setSensors({First});
        reader.read(0);
        reader.discover();
        QTRY_COMPARE(server.requests(), 1);
        reader.cancel();
        QVERIFY(found.wait(15000));
        QVERIFY(answered.isEmpty());
        QCOMPARE(found.at(0).at(0).toStringList(), QStringList({"CA0002EF10000010", First, Second}));

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
};

QTEST_GUILESS_MAIN(TestOwserverReader)
#include "tst_owserverreader.moc"
