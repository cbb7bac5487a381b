#include "acquisition/owserverreader.h"

#include "acquisition/sensorlist.h"
#include "fakeowserver.h"
#include "manualtimer.h"
#include "owserverprocess.h"
#include "scriptedserver.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace quorvel::acquisition;
using quorvel::testing::FakeOwserver;
using quorvel::testing::ManualTimer;
using quorvel::testing::OwserverProcess;
using quorvel::testing::ScriptedServer;
using Kind = FakeOwserver::Answer::Kind;

Q_DECLARE_METATYPE(FakeOwserver::Answer)

namespace {

// Sensors as the tester of a real server names them: 28.000028D70000 and so on, in the adapter's form.
const QString First = QStringLiteral("110000D728000028");
const QString Second = QStringLiteral("D50001D728000028");
const QString Third = QStringLiteral("800002D728000028");
const QByteArray FirstPath = "/uncached/28.000028D70000/temperature";

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

    // One sensor, read with its own conversion; one row per way a server can answer.
    void readsOneSensor_data()
    {
        QTest::addColumn<FakeOwserver::Answer>("answer");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("reason");
        const int ok = int(ReadOutcome::Ok);
        const int readError = int(ReadOutcome::ReadError);
        const int noAnswer = int(ReadOutcome::NoAnswer);
        QTest::newRow("value") << FakeOwserver::value("     21.5625") << ok << 21.5625f << QString();
        QTest::newRow("after keep-alives")
            << FakeOwserver::value("       -10.5", 3) << ok << -10.5f << QString();
        QTest::newRow("power-on value, for the sensor table")
            << FakeOwserver::value("          85") << ok << 85.0f << QString();
        QTest::newRow("not found") << FakeOwserver::error(-1) << int(ReadOutcome::NoSensor) << 0.0f
                                   << QString("answered " + FirstPath + " with error 1 (not found)");
        QTest::newRow("no such entity")
            << FakeOwserver::error(-2) << int(ReadOutcome::NoSensor) << 0.0f << "error 2 (no such entity)";
        QTest::newRow("I/O error") << FakeOwserver::error(-5) << readError << 0.0f << "error 5 (I/O error)";
        QTest::newRow("not a number")
            << FakeOwserver::value("  twenty") << readError << 0.0f << "with \"twenty\", not a number";
        QTest::newRow("decimal comma")
            << FakeOwserver::value("4,5") << readError << 0.0f << "\"4,5\", not a number";
        QTest::newRow("nan") << FakeOwserver::value("nan") << readError << 0.0f << "\"nan\", not a number";
        QTest::newRow("beyond a float")
            << FakeOwserver::value("1e300") << readError << 0.0f << "not a number";
        QTest::newRow("garbage") << FakeOwserver::of(Kind::Garbage) << readError << 0.0f
                                 << "not a 1-Wire server's";
        QTest::newRow("oversized") << FakeOwserver::of(Kind::Oversized) << readError << 0.0f
                                   << "more than the 65536 accepted";
        QTest::newRow("closes mid-reply") << FakeOwserver::of(Kind::CloseMidReply) << readError << 0.0f
                                          << "closed the connection in the middle of the reply";
        QTest::newRow("closes without an answer")
            << FakeOwserver::of(Kind::CloseWithoutAnswer) << noAnswer << 0.0f << "no answer from 127.0.0.1:";
        QTest::newRow("never answers") << FakeOwserver::of(Kind::Hang) << noAnswer << 0.0f << "within 10 s";
    }
    void readsOneSensor()
    {
        QFETCH(FakeOwserver::Answer, answer);
        QFETCH(int, outcome);
        QFETCH(float, value);
        QFETCH(QString, reason);
        FakeOwserver server;
        QVERIFY(server.listen());
        server.answer(FirstPath, answer);
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        auto* deadline = new ManualTimer;
        reader.setDeadlineTimer(std::unique_ptr<ManualTimer>(deadline));
        reader.setSensors({First});
        QSignalSpy spy(&reader, &OwserverReader::answered);
        reader.read(0);
        QVERIFY(spy.isEmpty()); // never from inside the call
        if (answer.kind == Kind::Hang) {
            QTRY_COMPARE(server.requests().size(), 1);
            QVERIFY(deadline->isHolding() && deadline->interval() == 10000);
            deadline->fire();
        }
        const SensorAnswer got = answerOf(spy);
        QVERIFY2(got.reason.contains(reason), qPrintable(got.reason));
        QCOMPARE(int(got.outcome), outcome);
        QCOMPARE(got.value, value);
        QCOMPARE(server.requests(), QList<QByteArray>{FirstPath});

        // A fault leaves nothing behind: the next read gets the value on a connection that works.
        server.answer(FirstPath, FakeOwserver::value("          20"));
        reader.read(0);
        QCOMPARE(answerOf(spy, 2).value, 20.0f);
    }

    void serverDown()
    {
        OwserverReader reader(QStringLiteral("127.0.0.1"), ScriptedServer::unusedPort());
        reader.setSensors({First});
        QSignalSpy spy(&reader, &OwserverReader::answered);
        reader.read(0);
        const SensorAnswer got = answerOf(spy);
        QCOMPARE(int(got.outcome), int(ReadOutcome::NoAnswer));
        QVERIFY2(got.reason.contains("refused"), qPrintable(got.reason));
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
        FakeOwserver server;
        QVERIFY(server.listen());
        server.setKeepConnections(keep);
        server.answer("/simultaneous/temperature",
                      readOnly ? FakeOwserver::error(-30) : FakeOwserver::value({}));
        const QByteArray kind = readOnly ? "temperature" : "latesttemp";
        const QList<QByteArray> ids{"28.000028D70000", "28.000028D70100", "28.000028D70200"};
        for (int i = 0; i < 3; ++i)
            server.answer("/uncached/" + ids[i] + "/" + kind,
                          FakeOwserver::value(QByteArray::number(20 + i)));
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
        QList<QByteArray> sweep{QByteArray("/simultaneous/temperature 1")};
        for (const QByteArray& id : ids)
            sweep.append("/uncached/" + id + "/" + kind);
        QCOMPARE(server.requests(), sweep + sweep);
        QCOMPARE(reader.connectionsOpened(), connections);
    }

    void discovers()
    {
        FakeOwserver server;
        QVERIFY(server.listen());
        server.answer(
            "/", FakeOwserver::value(QByteArray("/28.000028D70100,/bus.0,/10.000010EF0200,/1F.000000000000,"
                                                "/28.000028D70000,/uncached") +
                                     '\0'));
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        QSignalSpy found(&reader, &OwserverReader::discovered);
        reader.discover();
        QVERIFY(found.wait(15000));
        QCOMPARE(found.at(0).at(0).toStringList(), QStringList({"CA0002EF10000010", First, Second}));

        QSignalSpy failed(&reader, &OwserverReader::discoveryFailed);
        server.answer("/", FakeOwserver::of(Kind::Garbage));
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
                const QString said = server.owread("/" + owserver::serverId(list[slot]) + "/temperature");
                QCOMPARE(int(got.outcome), int(said.isEmpty() ? ReadOutcome::NoSensor : ReadOutcome::Ok));
                QCOMPARE(got.value, said.toFloat());
            }
        }
    }

    // While a read hangs, everything else on the loop goes on: a listener beside it answers at once.
    void hangingReadHoldsUpNothing()
    {
        FakeOwserver server;
        QVERIFY(server.listen());
        server.answer(FirstPath, FakeOwserver::of(Kind::Hang));
        OwserverReader reader(QStringLiteral("127.0.0.1"), server.port());
        reader.setSensors({First});
        QSignalSpy spy(&reader, &OwserverReader::answered);
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        connect(&listener, &QTcpServer::newConnection, &listener,
                [&] { listener.nextPendingConnection()->write("answered\n"); });
        reader.read(0);
        QTRY_COMPARE(server.requests().size(), 1);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(client.canReadLine() || !spy.isEmpty(), 15000);
        QVERIFY2(spy.isEmpty(), "the listener answered only once the hang had ended");
        QCOMPARE(client.readLine(), QByteArray("answered\n"));
        reader.cancel();
    }
};

QTEST_GUILESS_MAIN(TestOwserverReader)
#include "tst_owserverreader.moc"
