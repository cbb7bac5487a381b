#include "acquisition/sensorlist.h"
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

Q_DECLARE_METATYPE(quorvel::acquisition::ReadOutcome)

namespace {

using Conversions = std::pair<int, int>; // one by one, whole bus

const QStringList Codes = {QStringLiteral("BC0000000ABCDE28"), QStringLiteral("3000000123456728")};
const QStringList Folders = {QStringLiteral("28-0000000abcde"), QStringLiteral("28-000001234567")};

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// A plain tree: one master offering bulk conversion, a temperature file per sensor.
std::unique_ptr<QTemporaryDir> plainTree()
{
    auto root = scratchDir(QStringLiteral("w1bus"));
    QDir dir(root->path());
    dir.mkdir(QStringLiteral("w1_bus_master1"));
    writeFile(dir.filePath(QStringLiteral("w1_bus_master1/therm_bulk_read")), "0\n");
    for (int i = 0; i < Folders.size(); ++i) {
        dir.mkdir(Folders.at(i));
        writeFile(dir.filePath(Folders.at(i) + QStringLiteral("/temperature")),
                  QByteArray::number(21000 + 500 * i));
    }
    return root;
}

// The plain tree with the first sensor's file a FIFO without a writer, whose open blocks as a read blocks
// on a bus that hangs.
std::pair<std::unique_ptr<QTemporaryDir>, QByteArray> hangingTree()
{
    auto root = plainTree();
    const QByteArray fifo = QFile::encodeName(root->filePath(Folders.at(0) + QStringLiteral("/temperature")));
    if (!QFile::remove(fifo) || ::mkfifo(fifo.constData(), 0600) != 0)
        qFatal("cannot make a FIFO");
    return {std::move(root), fifo};
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
    void hungRead();
    void destroyedWhileHung();
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
    const QString bulk = root->filePath(QStringLiteral("w1_bus_master1/therm_bulk_read"));
    if (refused) {
        // A write that fails as on a read-only /sys (root may write any plain file).
        QVERIFY(QFile::remove(bulk));
        QVERIFY(QDir().mkdir(bulk));
        const QRegularExpression told(u"^The bus cannot convert all its sensors at once"_qs);
        QTest::ignoreMessage(QtWarningMsg, told);
        QTest::failOnWarning(told);
    }
    W1BusReader reader(root->path());
    reader.setSensors(Codes.first(sensors));
    for (int sweep = 0; sweep < 2; ++sweep) {
        for (int slot = 0; slot < sensors; ++slot) {
            const SensorAnswer answer = readOnce(reader, slot);
            QCOMPARE(answer.outcome, ReadOutcome::Ok);
            QCOMPARE(answer.value, 21.0f + 0.5f * float(slot));
        }
    }
    QFile file(bulk);
    QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), control);
}

void TestW1BusReader::unplugAndReturn()
{
    const auto root = plainTree();
    W1BusReader reader(root->path());
    reader.setSensors(Codes);
    const QString folder = root->filePath(Folders.at(1));
    QVERIFY(QDir(folder).removeRecursively());
    QCOMPARE(readOnce(reader, 1).outcome, ReadOutcome::NoSensor);
    QVERIFY(QDir().mkdir(folder));
    writeFile(folder + QStringLiteral("/temperature"), "-5500\n");
    const SensorAnswer back = readOnce(reader, 1);
    QCOMPARE(back.outcome, ReadOutcome::Ok);
    QCOMPARE(back.value, -5.5f);
}

void TestW1BusReader::hungRead()
{
    const auto [root, fifo] = hangingTree();
    W1BusReader reader(root->path());
    reader.setNoAnswerAfter(300);
    reader.setSensors(Codes.first(1));

    const SensorAnswer hung = readOnce(reader, 0);
    QCOMPARE(hung.outcome, ReadOutcome::NoAnswer);
    QVERIFY2(hung.reason.contains(u"hangs"), qPrintable(hung.reason));
    // While it hangs, no read queues behind it: this one is answered with the first still hanging.
    const SensorAnswer meanwhile = readOnce(reader, 0);
    QCOMPARE(meanwhile.outcome, ReadOutcome::NoAnswer);
    QVERIFY2(meanwhile.reason.contains(u"since"), qPrintable(meanwhile.reason));

    // The kernel lets go: the bus answers again, without a restart.
    const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
    QVERIFY(writer >= 0);
    QFile::remove(fifo);
    writeFile(fifo, "19500\n");
    ::close(writer);
    SensorAnswer back;
    QTRY_VERIFY_WITH_TIMEOUT((back = readOnce(reader, 0)).outcome == ReadOutcome::Ok, 15000);
    QCOMPARE(back.value, 19.5f);
}

// Gone while its thread is inside the open: the destructor returns with the open still blocked.
void TestW1BusReader::destroyedWhileHung()
{
    const auto [root, fifo] = hangingTree();
    auto reader = std::make_unique<W1BusReader>(root->path());
    reader->setSensors(Codes.first(1));
    reader->read(0);
    int writer = -1;
    QTRY_VERIFY((writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK)) >= 0);
    reader.reset();
    // Let the abandoned thread end, as the kernel would, and be cleaned up.
    ::close(writer);
    QTest::qWait(100);
}

void TestW1BusReader::simulatedBus_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<QList<ReadOutcome>>("outcomes");
    QTest::addColumn<Conversions>("conversions");

    const QList<ReadOutcome> good(3, ReadOutcome::Ok);
    QTest::newRow("bulk: the bus converts once, no sensor again")
        << QStringList{} << QByteArray() << good << std::pair(0, 1);
    QTest::newRow("no bulk master: one by one")
        << QStringList{"--no-bulk"} << QByteArray() << good << std::pair(3, 0);
    QTest::newRow("w1_slave only: crc NO, zeros")
        << QStringList{"--no-temperature"} << QByteArray("fault 2 crc\nfault 3 zero\n")
        << QList<ReadOutcome>{ReadOutcome::Ok, ReadOutcome::CrcError, ReadOutcome::ZeroScratchpad}
        << std::pair(0, 1);
    QTest::newRow("temperature: EIO, empty, unplugged")
        << QStringList{} << QByteArray("fault 1 eio\nfault 2 empty\nunplug 3\n")
        << QList<ReadOutcome>{ReadOutcome::ReadError, ReadOutcome::ReadError, ReadOutcome::NoSensor}
        << std::pair(0, 1);
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
    QStringList codes;
    for (const char* folder : {"28-000000000001", "28-000000000002", "28-000000000003"})
        codes.append(readRomCode(QString::fromLatin1(folder)).romCode.value());
    reader.setSensors(codes);
    for (int slot = 0; slot < 3; ++slot)
        QCOMPARE(readOnce(reader, slot).outcome, outcomes.at(slot));
    QCOMPARE(sim.conversions(), conversions);
}

QTEST_GUILESS_MAIN(TestW1BusReader)
#include "tst_w1busreader.moc"
