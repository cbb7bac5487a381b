#include "w1simprocess.h"

#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A write to a file of the tree (with text) or a read; what it gave: the text read, nothing, or an errno.
struct Step {
    const char* path;
    QByteArray write;
    QByteArray seen;
};

QByteArray failed(int error)
{
    return "errno " + QByteArray::number(error);
}

// Plain system calls, to see the errno the tree gives.
QByteArray take(const QString& root, const Step& step)
{
    const int fd =
        ::open(QFile::encodeName(root) + '/' + step.path, step.write.isEmpty() ? O_RDONLY : O_WRONLY);
    if (fd < 0)
        return failed(errno);
    char text[4096];
    const ssize_t n = step.write.isEmpty() ? ::read(fd, text, sizeof text)
                                           : ::write(fd, step.write.constData(), size_t(step.write.size()));
    const int error = errno;
    ::close(fd);
    if (n < 0)
        return failed(error);
    return step.write.isEmpty() ? QByteArray(text, int(n)) : QByteArray();
}

constexpr char Temperature1[] = "28-000000000001/temperature";
constexpr char Search[] = "w1_bus_master1/w1_master_search";
constexpr char Slaves[] = "w1_bus_master1/w1_master_slaves";
constexpr char Resolution1[] = "28-000000000001/resolution";
constexpr char Bind[] = "drivers/w1-gpio/bind";
constexpr char Control[] = "control";

} // namespace

using Steps = QList<Step>;
using Counts = std::pair<int, int>; // EEPROM writes, searches

class TestW1Simulator : public QObject {
    Q_OBJECT
private slots:
    void tree_data();
    void tree();
};

void TestW1Simulator::tree_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<Counts>("counts");

    const QStringList nine{"--sensors", "3", "--resolution", "9"};
    const QByteArray ones = "ff ff ff ff ff ff ff ff ff ";
    QTest::newRow("stick: a dead bus until a search; stick-hard: a search does not help, a power cycle does")
        << nine
        << Steps{{Control, "stick\n", {}},
                 {"28-000000000001/w1_slave", {}, ones + ": crc=ff NO\n" + ones + "t=-62\n"},
                 {Temperature1, {}, failed(EIO)},
                 {Search, {}, "-1\n"},
                 {Search, "1\n", {}},
                 {Temperature1, {}, "20000\n"},
                 {Control, "stick-hard\n", {}},
                 {Search, "1\n", {}},
                 {Temperature1, {}, failed(EIO)},
                 {Control, "power-cycle\n", {}},
                 {Temperature1, {}, "20000\n"}}
        << Counts{0, 2};
    QTest::newRow("rebind: unbind takes every folder, bind brings the bus back unstuck")
        << nine
        << Steps{{Control, "stick-hard\n", {}},
                 {Bind, "onewire@0\n", failed(EBUSY)},
                 {"drivers/w1-gpio/unbind", "onewire@0\n", {}},
                 {Temperature1, {}, failed(ENOENT)},
                 {Slaves, {}, failed(ENOENT)},
                 {Bind, "onewire@0\n", {}},
                 {Temperature1, {}, "20000\n"}}
        << Counts{0, 0};
    QTest::newRow(
        "resolution: conv_time and the value follow, save writes the EEPROM, a power cycle loads it")
        << QStringList{"--sensors", "1", "--resolution", "10"}
        << Steps{{Resolution1, {}, "10\n"},
                 {Resolution1, "9\n", {}},
                 {"28-000000000001/conv_time", {}, "94\n"},
                 {"28-000000000001/eeprom_cmd", "restore\n", {}},
                 {Resolution1, {}, "10\n"},
                 {Resolution1, "9\n", {}},
                 {"28-000000000001/eeprom_cmd", "save\n", {}},
                 {Resolution1, "12\n", {}},
                 {Control, "power-cycle\n", {}},
                 {Resolution1, {}, "9\n"},
                 {Control, "set 1 20190\n", {}},
                 {Temperature1, {}, "20000\n"},
                 {Resolution1, "12\n", {}},
                 {Temperature1, {}, "20187\n"}}
        << Counts{1, 0};
    QTest::newRow("ghosts listed, power, a spike read once, a sensor without resolution")
        << nine
        << Steps{{Control, "ghost 1\nparasite 2\nspike 1 41500\nnoresolution 3\n", {}},
                 {Slaves, {}, "28-000000000001\n28-000000000002\n28-000000000003\n00-800000000001\n"},
                 {"28-000000000001/ext_power", {}, "1\n"},
                 {"28-000000000002/ext_power", {}, "0\n"},
                 {Temperature1, {}, "41500\n"},
                 {Temperature1, {}, "20000\n"},
                 {"28-000000000003/resolution", {}, failed(ENOENT)},
                 {Control, "ghost 65\n", failed(EINVAL)}}
        << Counts{0, 0};
}

// The files a kernel 1-Wire tree offers to heal a bus and set its sensors, each step in turn.
void TestW1Simulator::tree()
{
    QFETCH(QStringList, args);
    QFETCH(Steps, steps);
    QFETCH(Counts, counts);

    W1SimProcess sim;
    if (!sim.start(args))
        QSKIP(qPrintable(sim.skipReason()));
    for (const Step& step : steps) {
        const QByteArray seen = take(sim.root(), step);
        QVERIFY2(seen == step.seen,
                 QByteArray(step.path) + (step.write.isEmpty() ? " read " : " written ") + seen);
    }
    QCOMPARE(Counts(sim.eepromWrites(), sim.searches()), counts);
}

QTEST_GUILESS_MAIN(TestW1Simulator)
#include "tst_w1simulator.moc"
