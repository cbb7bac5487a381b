#include "w1simprocess.h"

#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A write to a file of the tree (with text) or a read of it (without), and what it gave: the text read,
// nothing for a write taken, or an errno.
struct Step {
    QString path;
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
    const QByteArray path = QFile::encodeName(root + u'/' + step.path);
    const int fd = ::open(path.constData(), step.write.isEmpty() ? O_RDONLY : O_WRONLY);
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

const QString Temperature1 = QStringLiteral("28-000000000001/temperature");
const QString Search = QStringLiteral("w1_bus_master1/w1_master_search");
const QString Resolution1 = QStringLiteral("28-000000000001/resolution");
const QString ConvTime1 = QStringLiteral("28-000000000001/conv_time");
const QString Eeprom1 = QStringLiteral("28-000000000001/eeprom_cmd");
const QString Unbind = QStringLiteral("drivers/w1-gpio/unbind");
const QString Bind = QStringLiteral("drivers/w1-gpio/bind");
const QString Control = QStringLiteral("control");

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
    QTest::newRow("stick: a dead bus until a search, counted")
        << nine
        << Steps{{Control, "stick\n", {}},
                 {QStringLiteral("28-000000000001/w1_slave"), {}, ones + ": crc=ff NO\n" + ones + "t=-62\n"},
                 {Temperature1, {}, failed(EIO)},
                 {Search, {}, "-1\n"},
                 {Search, "1\n", {}},
                 {Search, {}, "0\n"},
                 {Temperature1, {}, "20000\n"}}
        << Counts{0, 1};
    QTest::newRow("stick-hard: a search does not help, a power cycle does")
        << nine
        << Steps{{Control, "stick-hard\n", {}},
                 {Search, "1\n", {}},
                 {Temperature1, {}, failed(EIO)},
                 {Control, "power-cycle\n", {}},
                 {Temperature1, {}, "20000\n"}}
        << Counts{0, 1};
    QTest::newRow("rebind: unbind takes every folder, bind brings the bus back unstuck")
        << nine
        << Steps{{Control, "stick-hard\n", {}},
                 {Bind, "onewire@0\n", failed(EBUSY)},
                 {Unbind, "onewire@0\n", {}},
                 {Temperature1, {}, failed(ENOENT)},
                 {QStringLiteral("w1_bus_master1/w1_master_slaves"), {}, failed(ENOENT)},
                 {Unbind, "onewire@0\n", failed(ENODEV)},
                 {Bind, "onewire@1\n", failed(ENODEV)},
                 {Bind, "onewire@0\n", {}},
                 {Temperature1, {}, "20000\n"}}
        << Counts{0, 0};
    QTest::newRow("resolution: conv_time follows, save writes the EEPROM, a power cycle loads it")
        << QStringList{"--sensors", "1", "--resolution", "10"}
        << Steps{{Resolution1, {}, "10\n"},
                 {ConvTime1, {}, "188\n"},
                 {Resolution1, "9\n", {}},
                 {ConvTime1, {}, "94\n"},
                 {Resolution1, "13\n", failed(EINVAL)},
                 {Eeprom1, "restore\n", {}},
                 {Resolution1, {}, "10\n"},
                 {Resolution1, "9\n", {}},
                 {Eeprom1, "save\n", {}},
                 {Resolution1, "12\n", {}},
                 {Control, "power-cycle\n", {}},
                 {Resolution1, {}, "9\n"},
                 {Eeprom1, "wipe\n", failed(EINVAL)},
                 {Eeprom1, {}, failed(EIO)}}
        << Counts{1, 0};
    QTest::newRow("ghosts listed, power, a spike read once, a sensor without resolution")
        << nine
        << Steps{{Control, "ghost 2\nparasite 2\nspike 1 41500\nnoresolution 3\n", {}},
                 {QStringLiteral("w1_bus_master1/w1_master_slaves"),
                  {},
                  "28-000000000001\n28-000000000002\n28-000000000003\n00-800000000001\n00-800000000002\n"},
                 {QStringLiteral("28-000000000001/ext_power"), {}, "1\n"},
                 {QStringLiteral("28-000000000002/ext_power"), {}, "0\n"},
                 {Temperature1, {}, "41500\n"},
                 {Temperature1, {}, "20000\n"},
                 {QStringLiteral("28-000000000003/resolution"), {}, failed(ENOENT)},
                 {QStringLiteral("28-000000000003/conv_time"), {}, "750\n"},
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
        if (seen != step.seen)
            QFAIL(qPrintable(QStringLiteral("%1 %2: expected \"%3\", saw \"%4\"")
                                 .arg(step.path, step.write.isEmpty() ? u"read"_qs : u"write"_qs,
                                      QString::fromUtf8(step.seen), QString::fromUtf8(seen))));
    }
    QCOMPARE(Counts(sim.eepromWrites(), sim.searches()), counts);
}

QTEST_GUILESS_MAIN(TestW1Simulator)
#include "tst_w1simulator.moc"
