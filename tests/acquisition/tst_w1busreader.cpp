#include "sources/w1/w1busreader.h"
#include "sources/w1/w1tree.h"

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

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// None when none is expected, else exactly one, that says so.
bool toldOnce(const QSignalSpy& notices, const QString& told)
{
    return told.isEmpty() ? notices.isEmpty()
                          : notices.size() == 1 && notices.at(0).at(0).toString().contains(told);
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
    void discoveryDuringARead();
    void hungRead_data();
    void hungRead();
    void simulatedBus_data();
    void simulatedBus();
    void rebind_data();
    void rebind();
    void simulatedSetUp_data();
    void simulatedSetUp();
    void simulatedStuck();
};

void TestW1BusReader::bulkOnlyForMoreThanOne_data()
{
    QTest::addColumn<int>("sensors");
    QTest::addColumn<QByteArray>("control"); // empty: the trigger is refused
    QTest::addColumn<int>("convTime");       // the first sensor's; 0: none
    QTest::addColumn<QString>("told");       // what the one notice says; empty: none
    QTest::addColumn<bool>("together");      // what the bus tells of its conversion, once
    const QByteArray trigger("trigger\n");
    QTest::newRow("two: the bus converts at once") << 2 << trigger << 0 << QString() << true;
    QTest::newRow("one: its own read converts") << 1 << QByteArray("0\n") << 0 << QString() << false;
    QTest::newRow("refused: each converts, said once")
        << 2 << QByteArray() << 0 << "the bus cannot convert all its sensors at once" << false;
    QTest::newRow("conv_time within the bound") << 2 << trigger << 4000 << QString() << true;
    const auto says =
        u"/28-0000000abcde/conv_time says %1 ms, not 1 to 4000; the bus waits 750 ms instead"_qs;
    QTest::newRow("conv_time one past: the default, said once")
        << 2 << trigger << 4001 << says.arg(4001) << true;
    QTest::newRow("conv_time of 24.8 days") << 2 << trigger << 2147483647 << says.arg(2147483647) << true;
}

void TestW1BusReader::bulkOnlyForMoreThanOne()
{
    QFETCH(int, sensors);
    QFETCH(QByteArray, control);
    QFETCH(int, convTime);
    QFETCH(QString, told);
    QFETCH(bool, together);
    const auto root = plainTree();
    QVERIFY(root);
    const QString bulk = root->filePath(QStringLiteral("w1_bus_master1/therm_bulk_read"));
    // A write that fails as on a read-only /sys (root may write any plain file).
    if (control.isEmpty())
        QVERIFY(QFile::remove(bulk) && QDir().mkdir(bulk));
    if (convTime > 0)
        QVERIFY(writeFile(root->filePath(Folders.at(0) + u"/conv_time"_qs), QByteArray::number(convTime)));
    W1BusReader reader(root->path());
    QSignalSpy notices(&reader, &SensorReader::noticed);
    QSignalSpy conversions(&reader, &SensorReader::bulkConversion);
    reader.setSensors(Codes.first(sensors));
    for (int sweep = 0; sweep < 2; ++sweep)
        for (int slot = 0; slot < sensors; ++slot) {
            const SensorAnswer answer = readOnce(reader, slot);
            QCOMPARE(answer.outcome, ReadOutcome::Ok);
            QCOMPARE(answer.value, 21.0f + 0.5f * float(slot));
        }
    QFile file(bulk);
    QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), control);
    QVERIFY(toldOnce(notices, told));
    QCOMPARE(conversions.size(), 1);
    QCOMPARE(conversions.at(0).at(0).toBool(), together);
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

// A discovery asked while a read is on the bus's thread: each gets its own answer.
void TestW1BusReader::discoveryDuringARead()
{
    const auto root = plainTree();
    QVERIFY(root);
    W1BusReader reader(root->path());
    reader.setSensors(Codes);
    QSignalSpy answered(&reader, &SensorReader::answered);
    QSignalSpy discovered(&reader, &SensorReader::discovered);
    QSignalSpy devices(&reader, &SensorReader::devicesFound);
    QVERIFY(QDir(root->path()).mkdir(u"00-800000000000"_qs));
    reader.read(0);
    reader.discover();
    QTRY_VERIFY_WITH_TIMEOUT(answered.size() == 1 && discovered.size() == 1, 15000);
    QCOMPARE(answered.at(0).at(1).value<SensorAnswer>().value, 21.0f);
    QCOMPARE(discovered.at(0).at(0).toStringList(), Codes);
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.at(0).at(0).toStringList(), QStringList(u"00-800000000000"_qs) + Folders);
}

void TestW1BusReader::hungRead_data()
{
    QTest::addColumn<bool>("destroyed");
    QTest::addColumn<int>("remade"); // readers made again for the tree while the read hangs, as reloads do
    QTest::newRow("released: the bus answers again, without a restart") << false << 0;
    // The destructor returns with its thread still blocked in the kernel.
    QTest::newRow("destroyed while hung") << true << 0;
    QTest::newRow("made again while hung: no thread more, and it ends after") << false << 5;
}

void TestW1BusReader::hungRead()
{
    QFETCH(bool, destroyed);
    QFETCH(int, remade);
    const auto root = plainTree();
    QVERIFY(root);
    const int threads = threadCount();
    // The first sensor's file a FIFO without a writer: its open blocks as a read blocks on a bus that hangs.
    const QByteArray fifo = QFile::encodeName(root->filePath(Folders.at(0) + u"/temperature"_qs));
    QVERIFY(QFile::remove(fifo) && ::mkfifo(fifo.constData(), 0600) == 0);
    std::unique_ptr<W1BusReader> reader;
    // The first read hangs; while it does, no read queues behind it: the next is answered meanwhile. So too
    // for each reader made again.
    for (int made = 0; made <= remade; ++made) {
        reader = std::make_unique<W1BusReader>(root->path());
        reader->setNoAnswerAfter(300);
        reader->setSensors(Codes.first(1));
        for (const char* reason : {"hangs", "since"}) {
            const SensorAnswer answer = readOnce(*reader, 0);
            QCOMPARE(answer.outcome, ReadOutcome::NoAnswer);
            QVERIFY2(answer.reason.contains(QLatin1String(reason)), qPrintable(answer.reason));
        }
    }
    QCOMPARE(threadCount(), threads + 1);

    int writer = -1;
    // Opened once: QTRY evaluates its condition again after it holds.
    QTRY_VERIFY(writer >= 0 || (writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK)) >= 0);
    if (destroyed) {
        reader.reset();
        // Let the abandoned thread end, as the kernel would: it is cleaned up then.
        ::close(writer);
        QTRY_COMPARE(threadCount(), threads);
        return;
    }
    QFile::remove(fifo);
    QVERIFY(writeFile(fifo, "19500\n"));
    ::close(writer);
    SensorAnswer back;
    QTRY_VERIFY_WITH_TIMEOUT((back = readOnce(*reader, 0)).outcome == ReadOutcome::Ok, 15000);
    QCOMPARE(back.value, 19.5f);
    reader.reset();
    QTRY_COMPARE(threadCount(), threads);
}

void TestW1BusReader::simulatedBus_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<QList<ReadOutcome>>("outcomes");
    QTest::addColumn<Conversions>("conversions");
    QTest::addColumn<QString>("told"); // what the one notice of two sweeps says

    using enum ReadOutcome;
    const QList<ReadOutcome> good(3, Ok);
    QTest::newRow("bulk: the bus converts once, no sensor again")
        << QStringList{} << QByteArray() << good << std::pair(0, 1) << QString();
    QTest::newRow("no bulk master: one by one")
        << QStringList{"--no-bulk"} << QByteArray() << good << std::pair(3, 0) << QString();
    QTest::newRow("w1_slave only: crc NO, zeros")
        << QStringList{"--no-temperature"} << QByteArray("fault 2 crc\nfault 3 zero\n")
        << QList<ReadOutcome>{Ok, CrcError, ZeroScratchpad} << std::pair(0, 1) << QString();
    QTest::newRow("temperature: EIO, crc (an empty read), unplugged")
        << QStringList{} << QByteArray("fault 1 eio\nfault 2 crc\nunplug 3\n")
        << QList<ReadOutcome>{ReadError, ReadError, NoSensor} << std::pair(0, 1) << QString();
    QTest::newRow("a bulk conversion never done: read at the bound, told once")
        << QStringList{} << QByteArray("stall\n") << good << std::pair(0, 1)
        << QStringLiteral("/w1_bus_master1/therm_bulk_read still said \"converting\"");
    // At 12 bits: below it the sensor counts in coarser steps than the drift makes.
    QTest::newRow("drifting: a step at most a read, inside the sensor's range")
        << QStringList{"--drift", "1", "--resolution", "12"} << QByteArray() << good << std::pair(0, 1)
        << QString();
}

// The driver's files and timing as FUSE serves them: a sweep reads each sensor's converted value.
void TestW1BusReader::simulatedBus()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, faults);
    QFETCH(QList<ReadOutcome>, outcomes);
    QFETCH(Conversions, conversions);
    QFETCH(QString, told);

    W1SimProcess sim;
    if (!sim.start(QStringList{"--sensors", "3", "--resolution", "9"} + args))
        QSKIP(qPrintable(sim.skipReason()));
    QVERIFY(sim.control(faults));
    W1BusReader reader(sim.root());
    QSignalSpy notices(&reader, &SensorReader::noticed);
    reader.setSensors(W1SimProcess::codes(3));
    for (int slot = 0; slot < 3; ++slot)
        QCOMPARE(readOnce(reader, slot).outcome, outcomes.at(slot));
    QCOMPARE(sim.conversions(), conversions);
    QCOMPARE(readOnce(reader, 0).outcome, outcomes.at(0));
    QVERIFY(toldOnce(notices, told));
    // Sensor 1 holds 20 degrees, or drifts a step a read at most within 16 to 22 (the adapter simulator's).
    QList<float> values{readOnce(reader, 0).value};
    while (outcomes.at(0) == ReadOutcome::Ok && values.size() < 12) {
        values << readOnce(reader, 0).value;
        QVERIFY(std::abs(values.last() - values.at(values.size() - 2)) <= 0.0625f);
    }
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    QVERIFY(outcomes.at(0) != ReadOutcome::Ok ||
            (args.contains(QStringLiteral("--drift")) ? *low >= 16 && *high <= 22 && *low < *high
                                                      : *low == 20 && *high == 20));
}

void TestW1BusReader::rebind_data()
{
    QTest::addColumn<QString>("unbind"); // "file", "fifo" (hangs until opened), "" (no driver folder)
    QTest::addColumn<QString>("problem");
    QTest::newRow("unbound, then bound") << "file" << QString();
    QTest::newRow("no driver folder: the errno's words")
        << QString() << "writing onewire@0 to ROOT/driver/unbind: No such file or directory";
    QTest::newRow("a write that hangs") << "fifo" << u"no answer within 0.3 s"_qs;
}

// The bus's thread is busy with a read that hangs meanwhile: a rebind does not wait behind it.
void TestW1BusReader::rebind()
{
    QFETCH(QString, unbind);
    QFETCH(QString, problem);
    const auto root = plainTree();
    QVERIFY(root);
    const QDir dir(root->path());
    const QByteArray hung = QFile::encodeName(dir.filePath(Folders.at(0) + u"/temperature"_qs));
    QVERIFY(QFile::remove(hung) && ::mkfifo(hung.constData(), 0600) == 0);
    const QByteArray control = QFile::encodeName(dir.filePath(u"driver/unbind"_qs));
    if (!unbind.isEmpty())
        QVERIFY(dir.mkdir(u"driver"_qs) && writeFile(dir.filePath(u"driver/bind"_qs), {}) &&
                (unbind == "fifo" ? ::mkfifo(control.constData(), 0600) == 0 : writeFile(control, {})));
    const int threads = threadCount();
    {
        W1BusReader reader(root->path());
        reader.setRebindBound(std::chrono::milliseconds(unbind == "fifo" ? 300 : 30000));
        reader.setSensors(Codes.first(1));
        reader.read(0);
        QSignalSpy acted(&reader, &SensorReader::acted);
        reader.act(BusAction::Rebind, dir.filePath(u"driver/onewire@0"_qs));
        QVERIFY(acted.wait(15000));
        QCOMPARE(acted.at(0).at(0).value<BusAction>(), BusAction::Rebind);
        QCOMPARE(acted.at(0).at(1).toString().replace(root->path(), u"ROOT"_qs), problem);
        QVERIFY(unbind != "file" || readTreeFile(dir.filePath(u"driver/bind"_qs)).bytes == "onewire@0");
    }
    // Both hung threads end once the kernel lets them go (each open waits for its thread); none is left.
    QCOMPARE(::close(::open(hung.constData(), O_WRONLY)), 0);
    if (const int fd = unbind == "fifo" ? ::open(control.constData(), O_RDONLY) : -1; fd >= 0) {
        char name[16];
        QCOMPARE(::read(fd, name, sizeof name) + ::close(fd), 9);
    }
    QTRY_COMPARE(threadCount(), threads);
}

void TestW1BusReader::simulatedSetUp_data()
{
    QTest::addColumn<QByteArray>("commands");
    QTest::addColumn<int>("bits"); // 0: none asked
    QTest::addColumn<bool>("save");
    QTest::addColumn<int>("writes");   // EEPROM writes after two setups
    QTest::addColumn<QString>("told"); // the one notice of two setups; empty: none
    QTest::newRow("as it is; parasite with bulk, told once")
        << QByteArray("parasite 1\nparasite 3\n") << 0 << false << 0
        << "sensors 28-000000000001, 28-000000000003 are parasite-powered";
    QTest::newRow("9 bits: the EEPROM untouched; one without resolution")
        << QByteArray("noresolution 2\n") << 9 << false << 0 << QString();
    QTest::newRow("9 bits saved: each EEPROM once") << QByteArray() << 9 << true << 3 << QString();
    QTest::newRow("12 saved where it holds 12: none") << QByteArray() << 12 << true << 0 << QString();
}

// Set up before the sweep's first read, each time the sensors are set, against the simulator's sensors.
void TestW1BusReader::simulatedSetUp()
{
    QFETCH(QByteArray, commands);
    QFETCH(int, bits);
    QFETCH(bool, save);
    QFETCH(int, writes);
    QFETCH(QString, told);
    W1SimProcess sim;
    if (!sim.start({"--sensors", "3"}))
        QSKIP(qPrintable(sim.skipReason()));
    QVERIFY(sim.control(commands));
    W1BusReader reader(sim.root());
    QSignalSpy notices(&reader, &SensorReader::noticed);
    QSignalSpy described(&reader, &SensorReader::described);
    for (int setup = 0; setup < 2; ++setup) {
        reader.setResolutions(QList<std::optional<int>>(3, bits ? std::optional(bits) : std::nullopt), save);
        reader.setSensors(W1SimProcess::codes(3));
        for (int slot = 0; slot < 3; ++slot)
            QCOMPARE(readOnce(reader, slot).outcome, ReadOutcome::Ok);
    }
    QCOMPARE(described.size(), 6);
    for (const QList<QVariant>& slotFacts : described) {
        const QByteArray sensor = QByteArray::number(slotFacts.at(0).toInt() + 1);
        const auto facts = slotFacts.at(1).value<SensorFacts>();
        const bool none = commands.contains("noresolution " + sensor);
        QCOMPARE(facts.parasite, commands.contains("parasite " + sensor));
        QCOMPARE(facts.resolution, none ? std::nullopt : std::optional(bits ? bits : 12));
        QCOMPARE(facts.problem, none ? "28-00000000000" + sensor + " has no resolution to set" : QString());
    }
    QCOMPARE(sim.eepromWrites(), writes);
    QVERIFY(toldOnce(notices, told));
}

// A dead bus brought back by the reader's own search; the ghost is listed with the sensors.
void TestW1BusReader::simulatedStuck()
{
    W1SimProcess sim;
    if (!sim.start({"--sensors", "2"}))
        QSKIP(qPrintable(sim.skipReason()));
    QVERIFY(sim.control("ghost 1\nstick\n"));
    W1BusReader reader(sim.root());
    reader.setSensors(W1SimProcess::codes(2));
    QCOMPARE(readOnce(reader, 0).outcome, ReadOutcome::ReadError);
    QSignalSpy acted(&reader, &SensorReader::acted);
    QSignalSpy devices(&reader, &SensorReader::devicesFound);
    reader.act(BusAction::Search);
    QVERIFY(acted.wait(15000) && devices.size() == 1);
    QCOMPARE(acted.at(0).at(1).toString(), QString());
    QCOMPARE(devices.at(0).at(0).toStringList(),
             QStringList({"00-800000000001", "28-000000000001", "28-000000000002"}));
    QCOMPARE(readOnce(reader, 0).outcome, ReadOutcome::Ok);
}

QTEST_GUILESS_MAIN(TestW1BusReader)
#include "tst_w1busreader.moc"
