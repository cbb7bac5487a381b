#include "acquisition/w1busreader.h"

#include "scratchdir.h"
#include "w1simprocess.h"

#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorvel::acquisition;
using quorvel::testing::scratchDir;
using quorvel::testing::writeFile;

namespace {

using Conversions = std::pair<int, int>; // one by one, whole bus

const QStringList Codes = {QStringLiteral("BC0000000ABCDE28"), QStringLiteral("3000000123456728")};
const QStringList Folders = {QStringLiteral("28-0000000abcde"), QStringLiteral("28-000001234567")};

// A plain tree: one master offering bulk conversion, a temperature file per sensor; null if not made.
std::unique_ptr<QTemporaryDir> plainTree()
{
    auto root = scratchDir(QStringLiteral("w1bus"));
    QDir dir(root->path());
    bool made = dir.mkdir(u"w1_bus_master1"_qs) &&
                writeFile(dir.filePath(u"w1_bus_master1/therm_bulk_read"_qs), "0\n");
    for (int i = 0; i < Folders.size(); ++i)
        made =
            made && dir.mkdir(Folders.at(i)) &&
            writeFile(dir.filePath(Folders.at(i) + u"/temperature"_qs), QByteArray::number(21000 + 500 * i));
    return made ? std::move(root) : nullptr;
}

SensorAnswer readOnce(W1BusReader& reader, int slot)
{
    QSignalSpy spy(&reader, &SensorReader::answered);
    reader.read(slot);
    // Never from inside the call.
    if (!spy.isEmpty() || !spy.wait(15000))
        return {ReadOutcome::Ok, -999, QStringLiteral("answered from inside the call, or not at all")};
    return spy.at(0).at(1).value<SensorAnswer>();
}

} // namespace

class TestW1BusReader : public QObject {
    Q_OBJECT
private slots:
    void bulkOnlyForMoreThanOne_data();
    void bulkOnlyForMoreThanOne();
    void unplugAndReturn();
    void hungRead_data();
    void hungRead();
    void simulatedBus_data();
    void simulatedBus();
};

void TestW1BusReader::bulkOnlyForMoreThanOne_data()
{
    QTest::addColumn<int>("sensors");
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<bool>("refused");
    QTest::newRow("two: the bus converts at once") << 2 << QByteArray("trigger\n") << false;
    QTest::newRow("one: its own read converts") << 1 << QByteArray("0\n") << false;
    QTest::newRow("refused: each converts, said once") << 2 << QByteArray() << true;
}

void TestW1BusReader::bulkOnlyForMoreThanOne()
{
    QFETCH(int, sensors);
    QFETCH(QByteArray, control);
    QFETCH(bool, refused);
    const auto root = plainTree();
    QVERIFY(root);
    const QString bulk = root->filePath(QStringLiteral("w1_bus_master1/therm_bulk_read"));
    if (refused) {
        // A write that fails as on a read-only /sys (root may write any plain file).
        QVERIFY(QFile::remove(bulk) && QDir().mkdir(bulk));
        const QRegularExpression told(u"^The bus cannot convert all its sensors at once"_qs);
        QTest::ignoreMessage(QtWarningMsg, told);
        QTest::failOnWarning(told);
    }
    W1BusReader reader(root->path());
    reader.setSensors(Codes.first(sensors));
    for (int sweep = 0; sweep < 2; ++sweep)
        for (int slot = 0; slot < sensors; ++slot) {
            const SensorAnswer answer = readOnce(reader, slot);
            QCOMPARE(answer.outcome, ReadOutcome::Ok);
            QCOMPARE(answer.value, 21.0f + 0.5f * float(slot));
        }
    QFile file(bulk);
    QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), control);
}

void TestW1BusReader::unplugAndReturn()
{
    const auto root = plainTree();
    QVERIFY(root);
    W1BusReader reader(root->path());
    reader.setSensors(Codes);
    QDir dir(root->path());
    QVERIFY(dir.rename(Folders.at(1), u"unplugged"_qs));
    QCOMPARE(readOnce(reader, 1).outcome, ReadOutcome::NoSensor);
    QVERIFY(dir.rename(u"unplugged"_qs, Folders.at(1)));
    const SensorAnswer back = readOnce(reader, 1);
    QCOMPARE(back.outcome, ReadOutcome::Ok);
    QCOMPARE(back.value, 21.5f);
}

void TestW1BusReader::hungRead_data()
{
    QTest::addColumn<bool>("destroyed");
    QTest::newRow("released: the bus answers again, without a restart") << false;
    // The destructor returns with its thread still blocked in the kernel.
    QTest::newRow("destroyed while hung") << true;
}

void TestW1BusReader::hungRead()
{
    QFETCH(bool, destroyed);
    const auto root = plainTree();
    QVERIFY(root);
    // The first sensor's file a FIFO without a writer: its open blocks as a read blocks on a bus that hangs.
    const QByteArray fifo = QFile::encodeName(root->filePath(Folders.at(0) + u"/temperature"_qs));
    QVERIFY(QFile::remove(fifo) && ::mkfifo(fifo.constData(), 0600) == 0);
    auto reader = std::make_unique<W1BusReader>(root->path());
    reader->setNoAnswerAfter(300);
    reader->setSensors(Codes.first(1));

    // The first read hangs; while it does, no read queues behind it: the next is answered meanwhile.
    for (const char* reason : {"hangs", "since"}) {
        const SensorAnswer answer = readOnce(*reader, 0);
        QCOMPARE(answer.outcome, ReadOutcome::NoAnswer);
        QVERIFY2(answer.reason.contains(QLatin1String(reason)), qPrintable(answer.reason));
    }

    int writer = -1;
    // Opened once: QTRY evaluates its condition again after it holds.
    QTRY_VERIFY(writer >= 0 || (writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK)) >= 0);
    if (destroyed) {
        reader.reset();
        // Let the abandoned thread end, as the kernel would, and be cleaned up.
        ::close(writer);
        QTest::qWait(100);
        return;
    }
    QFile::remove(fifo);
    QVERIFY(writeFile(fifo, "19500\n"));
    ::close(writer);
    SensorAnswer back;
    QTRY_VERIFY_WITH_TIMEOUT((back = readOnce(*reader, 0)).outcome == ReadOutcome::Ok, 15000);
    QCOMPARE(back.value, 19.5f);
}

void TestW1BusReader::simulatedBus_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<QList<ReadOutcome>>("outcomes");
    QTest::addColumn<Conversions>("conversions");

    using enum ReadOutcome;
    const QList<ReadOutcome> good(3, Ok);
    QTest::newRow("bulk: the bus converts once, no sensor again")
        << QStringList{} << QByteArray() << good << std::pair(0, 1);
    QTest::newRow("no bulk master: one by one")
        << QStringList{"--no-bulk"} << QByteArray() << good << std::pair(3, 0);
    QTest::newRow("w1_slave only: crc NO, zeros")
        << QStringList{"--no-temperature"} << QByteArray("fault 2 crc\nfault 3 zero\n")
        << QList<ReadOutcome>{Ok, CrcError, ZeroScratchpad} << std::pair(0, 1);
    QTest::newRow("temperature: EIO, crc (an empty read), unplugged")
        << QStringList{} << QByteArray("fault 1 eio\nfault 2 crc\nunplug 3\n")
        << QList<ReadOutcome>{ReadError, ReadError, NoSensor} << std::pair(0, 1);
}

// The driver's files and timing as FUSE serves them: a sweep reads each sensor's converted value.
void TestW1BusReader::simulatedBus()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, faults);
    QFETCH(QList<ReadOutcome>, outcomes);
    QFETCH(Conversions, conversions);

    W1SimProcess sim;
    if (!sim.start(args + QStringList{"--sensors", "3", "--resolution", "9"}))
        QSKIP(qPrintable(sim.skipReason()));
    QVERIFY(sim.control(faults));
    W1BusReader reader(sim.root());
    reader.setSensors(W1SimProcess::codes(3));
    for (int slot = 0; slot < 3; ++slot)
        QCOMPARE(readOnce(reader, slot).outcome, outcomes.at(slot));
    QCOMPARE(sim.conversions(), conversions);
}

QTEST_GUILESS_MAIN(TestW1BusReader)
#include "tst_w1busreader.moc"
