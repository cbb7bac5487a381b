// The client shapes that once exhausted quorvel3d through its metrics port, at full size, against the
// real service logging at full speed: one fresh service per shape, its sweeps counted from its log for
// a while without the attack, with it and without it again, its RSS and descriptors sampled, a good scraper
// asking throughout. The well-formed clients meet the status page at its largest: 100 sensors and a day.

#include "httpattack.h"

#include "logfile/logrecorder.h"
#include "logfile/logsession.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

using quorvel::testing::AttackShape;

namespace {

using Kind = AttackShape::Kind;

struct Shape {
    AttackShape attack;
    int sensors = 0; // 0: the built-in thirteen and no history; else a list of this many and a day's log
};

const std::map<QString, Shape>& shapes()
{
    static const std::map<QString, Shape> all = {
        {QStringLiteral("60000 pipelined GETs never read"), {{Kind::PipelinedUnread, 60000}}},
        {QStringLiteral("20000 pipelined GETs never read"), {{Kind::PipelinedUnread, 20000}}},
        {QStringLiteral("a 64 MiB header"), {{Kind::HugeHeader, 1, qint64(64) << 20}}},
        {QStringLiteral("300 connections, a byte every 10 s"), {{Kind::SlowBytes, 300, 0, 10000}}},
        {QStringLiteral("1100 connections, a byte every 10 s"), {{Kind::SlowBytes, 1100, 0, 10000}}},
        // From 127.0.0.2 to 127.0.0.21: past the cap in all, not only the one per address.
        {QStringLiteral("1100 connections from 20 addresses, a byte every 10 s"),
         {{Kind::SlowBytes, 1100, 0, 10000, 20}}},
        {QStringLiteral("1100 HTTP/1.0 GETs without keep-alive, 10 ms apart"), {{Kind::Http10, 1100, 0, 10}}},
        {QStringLiteral("100 sensors: 8 connections flooding GET /"),
         {{Kind::Flood, 8, 0, 0, 1, false, "/"}, 100}},
        {QStringLiteral("100 sensors: 8 connections flooding GET /readings.json"),
         {{Kind::Flood, 8, 0, 0, 1, false, "/readings.json"}, 100}},
        {QStringLiteral("100 sensors: 8 connections flooding GET /metrics"),
         {{Kind::Flood, 8, 0, 0, 1, false, "/metrics"}, 100}},
        {QStringLiteral("100 sensors: 16 connections of pipelined HEAD / never read"),
         {{Kind::HeadsUnread, 16, 0, 0, 1, false, "/"}, 100}},
    };
    return all;
}

// A list of sensors in Linux's form (the service computes the CRC), and a log with a record a minute for
// the last day, as the service writes it, so that it starts with its day of history full.
bool writeDay(int sensors, const QString& listPath, const QString& logPath)
{
    QFile list(listPath);
    if (!list.open(QIODevice::WriteOnly))
        return false;
    for (int i = 1; i <= sensors; ++i)
        list.write(
            QStringLiteral("28-%1 Sensor in room %2\n").arg(i, 12, 16, QLatin1Char('0')).arg(i).toUtf8());
    list.close();
    quorvel::acquisition::LogSession session;
    if (session.open(logPath))
        return false;
    session.setSyncEachRecord(false);
    const QDateTime now = QDateTime::currentDateTime();
    for (int m = 1440; m >= 1; --m) {
        const QDateTime when = now.addSecs(-60 * qint64(m));
        quorvel::acquisition::LogRecorder(session, QLocale::c(), [when] {
            return when;
        }).writeRecord(quorvel::acquisition::SensorReadings(sensors, 20.0f + float(m % 97) / 16));
    }
    session.close();
    return true;
}

// A kB field of the service's /proc status, or its count of open descriptors.
long statusKb(qint64 pid, const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLong();
    return -1;
}

int descriptors(qint64 pid)
{
    return int(
        QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

// Counts the records the service appends to its log.
class RecordCounter {
public:
    explicit RecordCounter(const QString& path) : file_(path) {}
    qint64 count()
    {
        if (!file_.isOpen() && !file_.open(QIODevice::ReadOnly))
            return 0;
        records_ += file_.readAll().count("\r\n");
        return records_;
    }

private:
    QFile file_;
    qint64 records_ = 0;
};

// User and system time of the service so far.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // The fields after the command's closing parenthesis, from the state on: utime and stime are 12 and 13.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 13
               ? double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK))
               : 0;
}

struct Window {
    double sweepsPerSecond = 0;
    double cpuMsPerSweep = 0;
    long rssMaxKb = 0;
    int fdsMax = 0;
};

// Samples every 100 ms for the given time.
Window sample(qint64 pid, RecordCounter& records, int seconds)
{
    Window window;
    const qint64 before = records.count();
    const double cpuBefore = cpuSeconds(pid);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        window.rssMaxKb = std::max(window.rssMaxKb, statusKb(pid, "VmRSS"));
        window.fdsMax = std::max(window.fdsMax, descriptors(pid));
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const qint64 sweeps = records.count() - before;
    window.sweepsPerSecond = double(sweeps) / elapsed;
    window.cpuMsPerSweep = (cpuSeconds(pid) - cpuBefore) * 1000.0 / double(std::max<qint64>(sweeps, 1));
    return window;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption list(QStringLiteral("list"), QStringLiteral("Print the shapes, one a line."));
    const QCommandLineOption shapeOption(QStringLiteral("shape"), QStringLiteral("The shape."),
                                         QStringLiteral("NAME"));
    const QCommandLineOption serviceOption(QStringLiteral("service"), QStringLiteral("quorvel3d."),
                                           QStringLiteral("PATH"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("The simulator's port."),
                                        QStringLiteral("N"));
    const QCommandLineOption nofileOption(QStringLiteral("nofile"), QStringLiteral("The unit's LimitNOFILE."),
                                          QStringLiteral("N"), QStringLiteral("1024"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Of the attack (default 30)."), QStringLiteral("S"),
                                           QStringLiteral("30"));
    const QCommandLineOption calmOption(QStringLiteral("calm-seconds"),
                                        QStringLiteral("Without the attack, before it (default 5)."),
                                        QStringLiteral("S"), QStringLiteral("5"));
    const QCommandLineOption logOption(
        QStringLiteral("log-dir"), QStringLiteral("Where the service's log goes."), QStringLiteral("DIR"));
    parser.addOptions(
        {list, shapeOption, serviceOption, portOption, nofileOption, secondsOption, calmOption, logOption});
    parser.process(app);
    if (parser.isSet(list)) {
        for (const auto& [name, shape] : shapes())
            std::printf("%s\n", qPrintable(name));
        return 0;
    }
    const auto found = shapes().find(parser.value(shapeOption));
    const int nofile = parser.value(nofileOption).toInt();
    if (found == shapes().end() || parser.value(serviceOption).isEmpty() ||
        parser.value(portOption).isEmpty()) {
        std::fprintf(stderr, "bench_metricsattack: needs --service, --port and a --shape of --list\n");
        return 2;
    }
    // The attack's own connections: as many as the system lets this process have.
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    own.rlim_cur = own.rlim_max;
    setrlimit(RLIMIT_NOFILE, &own);

    QTemporaryDir scratch(parser.isSet(logOption) ? parser.value(logOption) + QStringLiteral("/attack-XXXXXX")
                                                  : QDir::tempPath() + QStringLiteral("/attack-XXXXXX"));
    const QString logPath = scratch.filePath(QStringLiteral("service.log"));
    QStringList arguments{
        QStringLiteral("--adapter"), QStringLiteral("127.0.0.1:") + parser.value(portOption),
        QStringLiteral("--log"),     logPath,
        QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:0")};
    if (const int sensors = found->second.sensors; sensors > 0) {
        const QString listPath = scratch.filePath(QStringLiteral("sensors"));
        if (!writeDay(sensors, listPath, logPath)) {
            std::fprintf(stderr, "bench_metricsattack: cannot write the sensor list and log in %s\n",
                         qPrintable(scratch.path()));
            return 1;
        }
        arguments << QStringLiteral("--sensors") << listPath << QStringLiteral("--locale")
                  << QStringLiteral("C");
    }
    QProcess service;
    service.setChildProcessModifier([nofile] {
        const rlimit limit{rlim_t(nofile), rlim_t(nofile)};
        setrlimit(RLIMIT_NOFILE, &limit);
    });
    service.start(parser.value(serviceOption), arguments);
    static const QRegularExpression started(QStringLiteral("metrics http://127\\.0\\.0\\.1:(\\d+)/metrics"));
    QByteArray messages;
    quint16 port = 0;
    for (int i = 0; i < 100 && !port && service.state() != QProcess::NotRunning; ++i) {
        service.waitForReadyRead(100);
        messages += service.readAllStandardError();
        port = quint16(started.match(QString::fromLocal8Bit(messages)).captured(1).toUInt());
    }
    if (!port) {
        std::fprintf(stderr, "bench_metricsattack: the service named no metrics port: %s\n",
                     messages.constData());
        return 1;
    }
    const qint64 pid = service.processId();
    std::this_thread::sleep_for(std::chrono::seconds(2)); // start-up and the first sweeps are left out
    RecordCounter records(logPath);
    records.count();

    auto scraper = std::make_unique<quorvel::testing::GoodScraper>(port, "/metrics", 200);
    Window calm = sample(pid, records, parser.value(calmOption).toInt());
    const long rssBefore = statusKb(pid, "VmRSS");
    const int fdsBefore = descriptors(pid);
    const double calmSlowest = scraper->slowestMs();
    scraper = std::make_unique<quorvel::testing::GoodScraper>(port, "/metrics", 200);
    quorvel::testing::HttpAttack attack(port, found->second.attack);
    const Window attacked = sample(pid, records, parser.value(secondsOption).toInt());
    attack.stop();
    const qint64 answers = scraper->answers();
    const qint64 failures = scraper->failures();
    const double slowest = scraper->slowestMs();
    // The machine's other load drifts: the run without the attack is taken on both sides of it.
    const Window after = sample(pid, records, parser.value(calmOption).toInt());
    calm.sweepsPerSecond = (calm.sweepsPerSecond + after.sweepsPerSecond) / 2;
    calm.cpuMsPerSweep = (calm.cpuMsPerSweep + after.cpuMsPerSweep) / 2;
    scraper.reset();
    service.terminate();
    service.waitForFinished(10000);
    messages += service.readAllStandardError();

    const auto& seen = attack.counts();
    std::printf(
        "attack shape=\"%s\" seconds=%s nofile=%d sweeps_per_second_calm=%.1f "
        "sweeps_per_second_attacked=%.1f "
        "sweep_ratio=%.3f cpu_ms_per_sweep_calm=%.3f cpu_ms_per_sweep_attacked=%.3f rss_before_kb=%ld "
        "rss_max_kb=%ld rss_growth_kb=%ld fds_before=%d fds_max=%d "
        "scraper_answers=%lld scraper_failures=%lld scraper_slowest_ms=%.1f scraper_slowest_calm_ms=%.1f "
        "closed_by_service=%lld longest_held_ms=%lld answers_to_attack=%lld last_status=%d "
        "unreachable=%lld\n",
        qPrintable(found->first), qPrintable(parser.value(secondsOption)), nofile, calm.sweepsPerSecond,
        attacked.sweepsPerSecond, attacked.sweepsPerSecond / calm.sweepsPerSecond, calm.cpuMsPerSweep,
        attacked.cpuMsPerSweep, rssBefore, attacked.rssMaxKb, attacked.rssMaxKb - rssBefore, fdsBefore,
        attacked.fdsMax, qint64(answers), qint64(failures), slowest, calmSlowest, qint64(seen.closedByServer),
        qint64(seen.longestHeldMs), qint64(seen.answers), int(seen.lastStatus),
        qint64(messages.count("unreachable")));
    return 0;
}
