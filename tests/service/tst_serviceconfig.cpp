#include "scratchdir.h"
#include "servicefixture.h"

#include "runtime/configyaml.h"
#include "service/app/descriptorbudget.h"
#include "service/app/serviceconfig.h"

#include <QFile>
#include <QTest>

using namespace quorvel;
using namespace quorvel::service;

namespace {

// Everything a configuration sets, on one line, with the test's folder as DIR.
QString summary(const ServiceConfig& config, const QString& dir)
{
    QStringList parts;
    for (const SourceConfig& source : config.sources) {
        QStringList sensors;
        for (const acquisition::ListedSensor& sensor : source.sensors)
            sensors << (sensor.name.isEmpty() ? sensor.romCode : sensor.romCode + u'=' + sensor.name);
        parts << QStringLiteral("%1 %2 %3 log=%4 sensors=%5")
                     .arg(source.name, source.kind, source.address, source.logPath,
                          !sensors.isEmpty()      ? sensors.join(u',')
                          : source.findsSensors() ? QStringLiteral("found")
                                                  : QStringLiteral("built-in"));
        if (source.intervalSeconds != 0)
            parts.last() += QStringLiteral(" every %1 s").arg(source.intervalSeconds);
        const SensorDefaults& d = source.sensorDefaults;
        const RecoverySettings& r = source.recovery;
        if (d != SensorDefaults{} || r != RecoverySettings{})
            parts.last() +=
                QStringLiteral(" step %1 range %2 bits %3 save %4 recovery %5 after %6 [%7] rebind %8")
                    .arg(d.maxStep.value_or(-1))
                    .arg(d.range ? QStringLiteral("%1..%2").arg(d.range->first).arg(d.range->second) : "")
                    .arg(d.resolution.value_or(0))
                    .arg(d.saveResolution)
                    .arg(r.enabled)
                    .arg(r.afterSeconds)
                    .arg(r.command.join(u' '), r.rebindDevice);
    }
    QString shared =
        QStringLiteral("listen=%1 stale=%2 locale=%3")
            .arg(config.listen
                     ? QStringLiteral("%1:%2").arg(config.listen->address.toString()).arg(config.listen->port)
                     : QStringLiteral("off"))
            .arg(config.staleAfterSeconds)
            .arg(config.locale == QLocale() ? QStringLiteral("default") : config.locale.name());
    if (config.mqtt)
        shared += QStringLiteral(" mqtt=%1 %2 discovery=%3 keepalive=%4")
                      .arg(config.mqtt->url, config.mqtt->baseTopic)
                      .arg(config.mqtt->discovery ? QStringLiteral("true") : QStringLiteral("false"))
                      .arg(config.mqtt->keepAlive);
    for (const SourceConfig& source : config.sources)
        for (auto it = source.settings.begin(); it != source.settings.end(); ++it)
            shared += QStringLiteral(" %1: offset %2 low %3 high %4 hold %5 hysteresis %6")
                          .arg(it.key())
                          .arg(it->offset)
                          .arg(it->low.value_or(-999))
                          .arg(it->high.value_or(999))
                          .arg(it->holdSeconds)
                          .arg(it->hysteresis);
    for (const SourceConfig& source : config.sources)
        for (auto it = source.settings.begin(); it != source.settings.end(); ++it)
            if (it->maxStep || it->range || it->resolution)
                shared += QStringLiteral(" step %1 range %2..%3 bits %4")
                              .arg(it->maxStep.value_or(-1))
                              .arg(it->range.value_or(std::pair{0.0, 0.0}).first)
                              .arg(it->range.value_or(std::pair{0.0, 0.0}).second)
                              .arg(it->resolution.value_or(0));
    if (!config.alarmCommand.isEmpty())
        shared += QStringLiteral(" alarm=") + config.alarmCommand.join(u' ');
    if (config.store)
        shared += QStringLiteral(" store=%1 %2 %3 %4")
                      .arg(config.store->path)
                      .arg(config.store->sampleInterval)
                      .arg(config.store->keepSamplesDays)
                      .arg(config.store->keepHourlyDays);
    for (const influx::InfluxSettings& out : config.influx) {
        QStringList tags;
        for (const auto& [key, value] : out.tags)
            tags << key + u'=' + value;
        shared += QStringLiteral(" influx=%1 %2 %3 %4 token=%5 user=%6:%7 ca=%8 %9 tags=%10 %11 %12 %13")
                      .arg(out.name, out.url.toString(), out.api == influx::Api::V1 ? "v1" : "v2",
                           out.database + out.org + u'/' + out.bucket, out.token, out.user, out.password,
                           out.cafile, out.measurement)
                      .arg(tags.join(u','))
                      .arg(out.batch)
                      .arg(out.backfillRate)
                      .arg(out.gzip ? "gzip" : "plain");
    }
    return (parts << shared).join(QStringLiteral("; ")).replace(dir, QStringLiteral("DIR"));
}

void write(const QString& path, const QByteArray& text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(text), text.size());
}

// A chain of lists, each nine aliases of the one before: nine to the ninth power strings once walked.
QByteArray aliasBomb()
{
    QByteArray text = "a0: &a0 [x, x, x, x, x, x, x, x, x]\n";
    for (int level = 1; level < 10; ++level) {
        const QByteArray previous = "*a" + QByteArray::number(level - 1);
        text += "a" + QByteArray::number(level) + ": &a" + QByteArray::number(level) + " [" + previous;
        for (int i = 1; i < 9; ++i)
            text += ", " + previous;
        text += "]\n";
    }
    return text + "sources: *a9\n";
}

const QByteArray Cellar = "sources:\n  - name: cellar\n    address: 127.0.0.1\n";

} // namespace

class TestServiceConfig : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_scratch = testing::scratchDir(QStringLiteral("config"));
        m_dir = m_scratch->path();
        write(m_dir + QStringLiteral("/attic.sensors"), "BC0000000ABCDE28 Attic\n");
        write(m_dir + QStringLiteral("/bad.sensors"), "3100000123456728\n");
        write(m_dir + QStringLiteral("/token"), " t0ken\n");
        write(m_dir + QStringLiteral("/empty"), "\n");
        write(m_dir + QStringLiteral("/two-lines"), "a\nb\n");
        write(m_dir + QStringLiteral("/ca.pem"), "-----BEGIN CERTIFICATE-----\n");
    }
    void goodFiles_data();
    void goodFiles();
    void badFiles_data();
    void badFiles();
    void commandLineIsOneSource();
    void largestConfigurationFitsTheUnit();
    void documentBounds_data();
    void documentBounds();

private:
    std::unique_ptr<QTemporaryDir> m_scratch;
    QString m_dir;
};

void TestServiceConfig::goodFiles_data()
{
    QTest::addColumn<QByteArray>("yaml");
    QTest::addColumn<QString>("expected");
    QTest::newRow("one source, the built-in thirteen")
        << Cellar << "cellar adapter 127.0.0.1 log= sensors=built-in; listen=off stale=300 locale=default";
    QTest::newRow("sensors in any form, a log beside the file")
        << QByteArray("sources:\n  - name: Cellar_1-b\n    kind: adapter\n    address: 127.0.0.1:8080\n"
                      "    log: logs/../cellar.log\n    sensors:\n      - id: 28-000001234567\n"
                      "        name: ' Cellar, north '\n      - id: bc 00 00 00 0a bc de 28\n")
        << "Cellar_1-b adapter 127.0.0.1:8080 log=DIR/cellar.log "
           "sensors=3000000123456728=Cellar, north,BC0000000ABCDE28; listen=off stale=300 locale=default";
    QTest::newRow("a sensor list, standard output, every shared key")
        << QByteArray("sources:\n  - name: attic\n    address: 127.0.0.1\n    log: '-'\n"
                      "    sensors_file: attic.sensors\nlisten: 127.0.0.1:9300\nstale_after: 60\n"
                      "locale: de_DE\nmqtt:\n  url: mqtt://127.0.0.1\n  topic: home/box\n"
                      "  discovery: false\n  keepalive: 30\n  expire_after: 0\n")
        << "attic adapter 127.0.0.1 log=- sensors=BC0000000ABCDE28=Attic; listen=127.0.0.1:9300 stale=60 "
           "locale=de_DE mqtt=mqtt://127.0.0.1:1883 home/box discovery=false keepalive=30";
    QTest::newRow("two sources, one on the built-in thirteen")
        << Cellar + "  - name: attic\n    address: 127.0.0.2\n    sensors: [{id: 3000000123456728}]\n"
        << "cellar adapter 127.0.0.1 log= sensors=built-in; attic adapter 127.0.0.2 log= "
           "sensors=3000000123456728; listen=off stale=300 locale=default";
    QTest::newRow("calibration, limits and the alarm command")
        << Cellar + "    sensors:\n      - id: 3000000123456728\n        offset: -0.25\n        low: -25\n"
                    "        high: -15\n        hold: 300\n      - id: BC0000000ABCDE28\n        high: 30\n"
                    "alarm_command: [true, --urgent]\n"
        << "cellar adapter 127.0.0.1 log= sensors=3000000123456728,BC0000000ABCDE28; listen=off stale=300 "
           "locale=default 3000000123456728: offset -0.25 low -25 high -15 hold 300 hysteresis 0.5 "
           "BC0000000ABCDE28: offset 0 low -999 high 30 hold 0 hysteresis 0.5 alarm=true --urgent";
    QTest::newRow("a bus and a server with their defaults, any thermometer in any form")
        << QByteArray(
               "sources:\n  - name: pi\n    kind: w1\n  - name: box\n    kind: w1\n    root: w1/devices\n"
               "    sensors: [{id: 10.674523010000}]\n  - name: usb\n    kind: owserver\n"
               "    address: 127.0.0.1\n    sensors: [{id: 3b-000001234567}]\n")
        << "pi w1 /sys/bus/w1/devices log= sensors=found; box w1 DIR/w1/devices log= "
           "sensors=D500000123456710; "
           "usb owserver 127.0.0.1:4304 log= sensors=8C0000012345673B; listen=off stale=300 locale=default";
    QTest::newRow("an interval of its own, the top level's for the others, 0 as given")
        << Cellar + "    interval: 86400\n  - name: attic\n    address: 127.0.0.2\n    sensors: [{id: "
                    "3000000123456728}]\n"
                    "  - name: hall\n    address: 127.0.0.3\n    sensors: [{id: BC0000000ABCDE28}]\n    "
                    "interval: 0\n"
                    "interval: 10\n"
        << "cellar adapter 127.0.0.1 log= sensors=built-in every 86400 s; attic adapter 127.0.0.2 log= "
           "sensors=3000000123456728 every 10 s; hall adapter 127.0.0.3 log= sensors=BC0000000ABCDE28; "
           "listen=off stale=300 locale=default";
    QTest::newRow("a store beside the file, at the keys' bounds")
        << Cellar + "store:\n  path: data/../history.sqlite\n  sample_interval: 3600\n  keep_samples: 0\n"
                    "  keep_hourly: 36600\n"
        << "cellar adapter 127.0.0.1 log= sensors=built-in; listen=off stale=300 locale=default "
           "store=DIR/history.sqlite 3600 0 36600";
    QTest::newRow("a store with its defaults, one a sweep")
        << Cellar + "store: {path: /var/lib/h.sqlite, sample_interval: 0}\n"
        << "cellar adapter 127.0.0.1 log= sensors=built-in; listen=off stale=300 locale=default "
           "store=/var/lib/h.sqlite 0 30 0";
    QTest::newRow("store: false") << Cellar + "store: false\n"
                                  << "cellar adapter 127.0.0.1 log= sensors=built-in; listen=off stale=300 "
                                     "locale=default";
    const QByteArray stored = Cellar + "store: {path: h.sqlite}\n";
    QTest::newRow("outputs with every key, and with their defaults")
        << stored + "outputs:\n  influx:\n    - name: vm\n      url: https://127.0.0.1:8428/prefix\n"
                    "      api: v2\n      org: home\n      bucket: temps\n      token_file: token\n"
                    "      cafile: ca.pem\n      measurement: celsius\n      tags: {site: cellar-north, "
                    "host: box, empty: ''}\n      batch: 100000\n      backfill_rate: 1\n      gzip: true\n"
                    "    - {url: http://127.0.0.1, database: db}\n"
                    "    - {url: 'http://127.0.0.2:8086/', database: db, user: me, password_file: token}\n"
        << "cellar adapter 127.0.0.1 log= sensors=built-in; listen=off stale=300 locale=default "
           "store=DIR/h.sqlite 10 30 0 influx=vm https://127.0.0.1:8428/prefix v2 home/temps token=t0ken "
           "user=: ca=DIR/ca.pem celsius tags=site=cellar-north,host=box,empty= 100000 1 gzip "
           "influx=127.0.0.1:80/db http://127.0.0.1 v1 db/ token= user=: ca= temperature tags= 5000 10000 "
           "plain influx=127.0.0.2:8086/db http://127.0.0.2:8086/ v1 db/ token= user=me:t0ken ca= "
           "temperature tags= 5000 10000 plain";
    QTest::newRow("checks for a source and a sensor, recovery with every key, at their bounds")
        << QByteArray(
               "sources:\n  - name: pi\n    kind: w1\n    max_step: 200\n    range: [-60, 130]\n"
               "    resolution: 9\n    save_resolution: true\n    recovery:\n      after: 10\n"
               "      command: [true, 'off']\n      rebind: /sys/bus/platform/drivers/w1-gpio/onewire@0\n"
               "    sensors:\n      - id: 28-000001234567\n        max_step: 0.0625\n"
               "        range: [-55.5, -55]\n        resolution: 12\n")
        << "pi w1 /sys/bus/w1/devices log= sensors=3000000123456728 step 200 range -60..130 bits 9 save 1 "
           "recovery 1 after 10 [true off] rebind /sys/bus/platform/drivers/w1-gpio/onewire@0; listen=off "
           "stale=300 locale=default 3000000123456728: offset 0 low -999 high 999 hold 0 hysteresis 0.5 step "
           "0.0625 range -55.5..-55 bits 12";
    QTest::newRow("recovery off, a server's resolution without saving it, the longest wait")
        << QByteArray("sources:\n  - name: usb\n    kind: owserver\n    address: 127.0.0.1\n"
                      "    resolution: 10\n    save_resolution: false\n    recovery: false\n"
                      "  - name: box\n    kind: w1\n    root: w1\n    recovery: {after: 86400}\n")
        << "usb owserver 127.0.0.1:4304 log= sensors=found step -1 range  bits 10 save 0 recovery 0 after 60 "
           "[] "
           "rebind ; box w1 DIR/w1 log= sensors=found step -1 range  bits 0 save 0 recovery 1 after 86400 [] "
           "rebind ; listen=off stale=300 locale=default";
    QFile example(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../packaging/quorvel3d.yaml"));
    QVERIFY(example.open(QIODevice::ReadOnly));
    QTest::newRow("the package's example")
        << example.readAll()
        << "adapter adapter 127.0.0.1 log=/var/log/quorvel3d/quorvel3d.log sensors=built-in; listen=off "
           "stale=300 locale=default store=/var/lib/quorvel3d/history.sqlite 10 30 0";
}

void TestServiceConfig::goodFiles()
{
    QFETCH(QByteArray, yaml);
    QFETCH(QString, expected);
    const QString path = m_dir + QStringLiteral("/quorvel3d.yaml");
    write(path, yaml);
    const ConfigResult result = readServiceConfig(path);
    QVERIFY2(result.config, qPrintable(result.errors.value(0).text()));
    QCOMPARE(summary(*result.config, m_dir), expected);
    QCOMPARE(result.config->file, path);
}

void TestServiceConfig::badFiles_data()
{
    QTest::addColumn<QByteArray>("yaml"); // <missing>, <folder>: no file written
    QTest::addColumn<int>("faults");
    QTest::addColumn<QString>("expected"); // the first fault's start
    QTest::newRow("misspelt sensors")
        << Cellar + "    sensor:\n      - id: 3000000123456728\n"
        << 1
        << "DIR/c.yaml:4:5: sources[0].sensor: unknown key; known here: name, kind, address, log, interval,";
    QTest::newRow("two sources of one name")
        << Cellar + "    sensors: [{id: 3000000123456728}]\n  - name: cellar\n    address: 127.0.0.2\n"
        << 1 << "DIR/c.yaml:5:11: sources[1].name: cellar is the name of sources[0] already";
    QTest::newRow("one sensor under two sources, written two ways")
        << Cellar + "    sensors: [{id: 3000000123456728}]\n  - name: b\n    address: 127.0.0.2\n"
                    "    sensors: [{id: 28-000001234567}]\n"
        << 1 << "DIR/c.yaml:7:20: sources[1].sensors[0]: 3000000123456728 is polled by sources[0] (cellar)";
    QTest::newRow("two sources on the built-in thirteen")
        << Cellar + "  - name: b\n    address: 127.0.0.2\n"
        << 1
        << "DIR/c.yaml:4:5: sources[1]: polls the built-in thirteen sensors, and sources[0] (cellar) polls";
    QTest::newRow("bad address, and a second fault")
        << Cellar + "  - name: b\n    address: 300.1.2.3\nstale_after: 0\n"
        << 2 << "DIR/c.yaml:5:14: sources[1].address: 300.1.2.3 is not an IPv4 address";
    QTest::newRow("an interval past a day, a fraction, a negative one at the top")
        << Cellar + "    interval: 86401\n  - name: b\n    address: 127.0.0.2\n    sensors: [{id: "
                    "3000000123456728}]\n"
                    "    interval: 1.5\ninterval: -1\n"
        << 3
        << "DIR/c.yaml:4:15: sources[0].interval: \"86401\" is not a whole number of seconds from 0 to 86400";
    QTest::newRow("missing file") << QByteArray("<missing>") << 1 << "DIR/c.yaml: No such file or directory";
    QTest::newRow("a folder") << QByteArray("<folder>") << 1 << "DIR/c.yaml: is a folder, not a regular file";
    QTest::newRow("alias bomb") << aliasBomb() << 1
                                << "DIR/c.yaml:1:5: anchors (&) and aliases (*) are not taken here";
    QTest::newRow("10 MiB") << QByteArray(10 << 20, '#') << 1
                            << "DIR/c.yaml: larger than a configuration file can be: at most 1048576 bytes";
    QTest::newRow("bad sensors_file")
        << Cellar + "    sensors_file: bad.sensors\n"
        << 1 << "DIR/c.yaml:4:19: sources[0].sensors_file: DIR/bad.sensors:1: CRC 31 is wrong";
    QTest::newRow("sensors and sensors_file")
        << Cellar + "    sensors_file: attic.sensors\n    sensors: [{id: 3000000123456728}]\n"
        << 1 << "DIR/c.yaml:4:5: sources[0]: sensors and sensors_file both given";
    QTest::newRow("no source") << QByteArray("sources: []\n") << 1
                               << "DIR/c.yaml:1:10: sources: expected a list of one source or more";
    QTest::newRow("every fault, in the file's order")
        << Cellar +
               "    kind: w2\n    log:\n    sensors:\n      - id: 3000000123456728\n        name: \"a\\nb\"\n"
               "      - 3000000123456728\n      - id: 28-000001234567\n  - name: b c\n  - []\nlocale: xx\n"
        << 9
        << "DIR/c.yaml:4:11: sources[0].kind: \"w2\" is not a kind of source known here (adapter, w1, "
           "owserver)";
    QTest::newRow("a bus has a root, not an address; an adapter serves DS18B20s only")
        << Cellar +
               "    kind: w1\n  - name: b\n    address: 127.0.0.2\n    sensors: [{id: 10.674523010000}]\n"
        << 2
        << "DIR/c.yaml:3:5: sources[0].address: a key of kind: adapter or owserver, and this source is "
           "kind: w1";
    QTest::newRow("a root without kind: w1, and no address held against it")
        << QByteArray("sources:\n  - name: cellar\n    root: /sys/bus/w1/devices\n") << 1
        << "DIR/c.yaml:3:5: sources[0].root: a key of kind: w1, and this source is kind: adapter (no kind: "
           "given); add kind: w1";
    // What the kind would have checked is held back: the kind is told, and told alone.
    for (const char* kind : {"1wire", "W1", "owfs"})
        QTest::newRow(qPrintable(QStringLiteral("kind: %1 told alone").arg(QLatin1String(kind))))
            << "sources:\n  - name: pi\n    kind: " + QByteArray(kind) +
                   "\n    root: /sys/bus/w1/devices\n    sensors: [{id: 10.674523010000}]\n"
            << 1
            << QStringLiteral("DIR/c.yaml:3:11: sources[0].kind: \"%1\" is not a kind of source known here")
                   .arg(QLatin1String(kind));
    QTest::newRow("a server on port 0, a bus on no folder")
        << QByteArray("sources:\n  - name: usb\n    kind: owserver\n    address: 127.0.0.1:0\n"
                      "  - name: pi\n    kind: w1\n    root: ''\n")
        << 2
        << "DIR/c.yaml:4:14: sources[0].address: 127.0.0.1:0 is not an IPv4 address with an optional :PORT "
           "(1 "
           "to 65535, 4304 if none)";
    QTest::newRow("limits the wrong way round, a negative hysteresis, no such command")
        << Cellar + "    sensors:\n      - id: 3000000123456728\n        low: 5\n        high: 5\n"
                    "        hysteresis: -1\nalarm_command: [/nonexistent/notify]\n"
        << 3 << "DIR/c.yaml:7:15: sources[0].sensors[0].high: high (5) must be above low (5)";
    const QByteArray sensor = Cellar + "    sensors:\n      - id: 3000000123456728\n";
    QTest::newRow("an offset that makes every reading infinite")
        << sensor + "        offset: 1e300\n"
        << 1 << "DIR/c.yaml:6:17: sources[0].sensors[0].offset: offset must be a number from -100 to 100";
    QTest::newRow("NaN, beyond any thermometer, a fraction of a second, a hysteresis wider than any span")
        << sensor + "        low: .nan\n        high: 1e308\n        hold: 0.5\n        hysteresis: 101\n"
        << 4 << "DIR/c.yaml:6:14: sources[0].sensors[0].low: \".nan\" is not a number";
    QTest::newRow("NUL in an argument of the alarm command")
        << Cellar + "alarm_command: [/bin/true, \"a\\0b\"]\n"
        << 1 << "DIR/c.yaml:4:28: alarm_command: a value holds no NUL character (\\0)";
    QTest::newRow("a line separator and a direction override in names")
        << sensor + "        name: \"a\\u2028b\"\n      - id: BC0000000ABCDE28\n        name: \"\\u202Eab\"\n"
        << 2
        << "DIR/c.yaml:6:15: sources[0].sensors[0].name: a name is one line, without control characters, "
           "line separators or direction controls: U+2028 at character 2";
    QTest::newRow("not UTF-8, told at its character") << sensor + "        name: \"Caf\xc3\xa9 \xe9\"\n"
                                                      << 1 << "DIR/c.yaml:6:21: byte 0xe9 is not UTF-8 text";
    QByteArray many = "sources:\n";
    for (int i = 0; i <= MaxSources; ++i)
        many += "  - {name: s" + QByteArray::number(i) + ", address: 127.0.0.1}\n";
    QTest::newRow("more sources than one service runs")
        << many << 1 << "DIR/c.yaml:2:3: sources: 101 sources; one service runs at most 100";
    QTest::newRow("a megabyte of empty entries")
        << "sources: [" + QByteArray(MaxConfigBytes - 12, ',') + "]\n"
        << 1 << "DIR/c.yaml:1:160008: more than 160000 keys, values, lists and mappings here";
    const QByteArray pi = "sources:\n  - name: pi\n";
    QTest::newRow("a key too deep") << pi + "     kind: w1\n"
                                    << 1
                                    << "DIR/c.yaml:3:10: indentation: this key stands deeper than the keys";
    QTest::newRow("a key too shallow")
        << pi + " kind: w1\n"
        << 1 << "DIR/c.yaml:3:2: indentation: this line stands in no mapping's column";
    QTest::newRow("a tab") << pi + "\tkind: w1\n"
                           << 1 << "DIR/c.yaml:3:1: indentation: a tab; indent with spaces";
    QTest::newRow("a list item out of line")
        << pi + "    kind: w1\n    sensors:\n    - id: 10.674523010000\n     name: b\n"
        << 1 << "DIR/c.yaml:6:6: indentation: this line stands in no list's or mapping's column";
    QTest::newRow("a list not closed")
        << QByteArray("sources: [a, b\n") << 1 << "DIR/c.yaml:2:1: a [ list is not closed here: expected ]";
    QTest::newRow("store: true") << Cellar + "store: true\n"
                                 << 1 << "DIR/c.yaml:4:8: store: expected a mapping with path: and the like";
    QTest::newRow("a store without a path") << Cellar + "store: {keep_samples: 7}\n"
                                            << 1 << "DIR/c.yaml:4:8: store: path is missing";
    QTest::newRow("a store's empty path, keys past their bounds, a misspelt key")
        << Cellar + "store:\n  path: ''\n  sample_interval: 3601\n  keep_samples: -1\n  keep_hourly: 36601\n"
                    "  keep: 3\n"
        << 5 << "DIR/c.yaml:5:9: store.path: expected the store's file name";
    QTest::newRow("bad MQTT URL")
        << Cellar + "mqtt:\n  url: http://127.0.0.1\n"
        << 1 << "DIR/c.yaml:5:8: mqtt.url: invalid value \"http://127.0.0.1\" for --mqtt";
    const QByteArray influx = Cellar + "store: {path: h.sqlite}\noutputs:\n  influx:\n    - ";
    QTest::newRow("an output without the store")
        << Cellar + "outputs: {influx: [{url: http://127.0.0.1, database: db}]}\n"
        << 1 << "DIR/c.yaml:4:10: outputs: an output sends the store's samples: it needs store: with a path";
    QTest::newRow("no list of databases")
        << Cellar + "store: {path: h}\noutputs: {influx: []}\n"
        << 1 << "DIR/c.yaml:5:19: outputs.influx: expected a list of 1 to 8";
    QTest::newRow("a URL with a password, another scheme, none")
        << influx + "{url: 'http://u:p@127.0.0.1', database: d}\n    - {url: ftp://127.0.0.1, database: d}\n"
                    "    - {database: d}\n"
        << 3 << "DIR/c.yaml:7:13: outputs.influx[0].url: \"http://u:p@127.0.0.1\" is not http:// or https://";
    QTest::newRow("v1 without its database, v2 with it and without a bucket, an api that is none")
        << influx + "{url: http://127.0.0.1}\n    - {url: http://127.0.0.1, api: v2, org: o, database: d}\n"
                    "    - {url: http://127.0.0.1, api: v3, database: d}\n"
        << 4 << "DIR/c.yaml:7:7: outputs.influx[0]: database is missing: api v1 needs it";
    QTest::newRow("secret files missing, empty, of two lines; a token and a user; a user alone")
        << influx + "{url: http://127.0.0.1, database: d, token_file: nothing}\n"
                    "    - {url: http://127.0.0.2, database: d, token_file: empty}\n"
                    "    - {url: http://127.0.0.3, database: d, user: u, password_file: two-lines}\n"
                    "    - {url: http://127.0.0.4, database: d, user: u, token_file: token}\n"
                    "    - {url: http://127.0.0.5, database: d, user: u}\n"
        << 6 << "DIR/c.yaml:7:56: outputs.influx[0].token_file: cannot read DIR/nothing: No such file";
    QTest::newRow("a CA file without a certificate, one for http://")
        << influx + "{url: https://127.0.0.1, database: d, cafile: token}\n"
                    "    - {url: http://127.0.0.1, database: d, cafile: ca.pem}\n"
        << 2 << "DIR/c.yaml:7:53: outputs.influx[0].cafile: DIR/token holds no PEM certificate";
    QTest::newRow("a name twice, given and by default; a bad name")
        << influx + "{url: http://127.0.0.1, database: d}\n    - {name: '127.0.0.1:80/d', url: "
                    "http://127.0.0.2, database: d}\n    - {name: a b, url: http://127.0.0.1, database: e}\n"
        << 2 << "DIR/c.yaml:8:14: outputs.influx[1].name: 127.0.0.1:80/d is the name of outputs.influx[0]";
    QTest::newRow("max_step of 0, past 200, not a number; resolutions of 8, 13 and 9.5 bits")
        << sensor +
               "        max_step: 0\n        resolution: 8\n      - id: BC0000000ABCDE28\n"
               "        max_step: 200.5\n        resolution: 13\n    max_step: five\n    resolution: 9.5\n"
        << 6
        << "DIR/c.yaml:6:19: sources[0].sensors[0].max_step: max_step must be above 0 and at most 200 °C";
    QTest::newRow("ranges: one number, three, upside down, past the bounds, not numbers")
        << sensor + "        range: 20\n      - id: BC0000000ABCDE28\n        range: [1, 2, 3]\n"
                    "  - name: b\n    address: 127.0.0.2\n    range: [40, 40]\n"
                    "  - name: c\n    address: 127.0.0.3\n    range: [-61, 20]\n"
                    "  - name: d\n    address: 127.0.0.4\n    range: [a, 20]\n"
        << 5
        << "DIR/c.yaml:6:16: sources[0].sensors[0].range: expected [low, high]: two numbers from -60 to 130";
    QTest::newRow("recovery true, waits past their bounds, a misspelt key, commands that are none")
        << Cellar + "    recovery: true\n  - name: b\n    address: 127.0.0.2\n    recovery: {after: 9, "
                    "command: []}\n"
                    "  - name: c\n    address: 127.0.0.3\n    recovery: {after: 86401, retry: 2}\n"
                    "  - name: d\n    address: 127.0.0.4\n    recovery: {command: [./nothing]}\n"
        << 6
        << "DIR/c.yaml:4:15: sources[0].recovery: expected false, or a mapping with after:, command: and";
    QTest::newRow(
        "resolution, save_resolution and rebind where the kind has none; not a flag, an empty rebind")
        << Cellar + "    recovery: {rebind: /sys/bus/platform/drivers/w1-gpio/onewire@0}\n"
                    "  - name: usb\n    kind: owserver\n    address: 127.0.0.1\n    save_resolution: true\n"
                    "  - name: pi\n    kind: w1\n    save_resolution: maybe\n    recovery: {rebind: ''}\n"
                    "  - name: e\n    address: 127.0.0.5\n    resolution: 9\n"
        << 5
        << "DIR/c.yaml:4:16: sources[0].recovery.rebind: only a w1 source's bus master is bound again; this";
    QTest::newRow("numbers past their bounds, gzip not a flag, tags not a mapping, a misspelt key")
        << influx + "{url: http://127.0.0.1, database: d, batch: 0, backfill_rate: 1000001, gzip: 2, "
                    "tags: [a], tag: {}}\n"
        << 5 << "DIR/c.yaml:7:51: outputs.influx[0].batch: \"0\" is not a whole number from 1 to 100000";
}

void TestServiceConfig::badFiles()
{
    QFETCH(QByteArray, yaml);
    QFETCH(int, faults);
    QFETCH(QString, expected);
    const QString path = m_dir + QStringLiteral("/c.yaml");
    if (yaml == "<folder>")
        QVERIFY(QDir().mkdir(path));
    else if (yaml != "<missing>")
        write(path, yaml);
    const ConfigResult result = readServiceConfig(path);
    QVERIFY(!result.config);
    QStringList told;
    for (const ConfigError& error : result.errors)
        told << error.text().replace(m_dir, QStringLiteral("DIR"));
    QVERIFY2(told.value(0).startsWith(expected), qPrintable(told.join(u'\n')));
    QCOMPARE(told.size(), faults);
}

void TestServiceConfig::commandLineIsOneSource()
{
    const ParsedOptions parsed = parseServiceOptions(
        {QStringLiteral("quorvel3d"), QStringLiteral("--log=x.log"), QStringLiteral("--listen=127.0.0.1:0"),
         QStringLiteral("--mqtt=mqtts://127.0.0.1"), QStringLiteral("--mqtt-topic=t"),
         QStringLiteral("--store=/var/lib/h.sqlite"), QStringLiteral("--interval=60")});
    QCOMPARE(parsed.action, ParsedOptions::Action::Run);
    QCOMPARE(
        summary(configFromOptions(parsed.options, QStringLiteral("127.0.0.1:8080")), m_dir),
        "adapter adapter 127.0.0.1:8080 log=x.log sensors=built-in every 60 s; listen=127.0.0.1:0 stale=300 "
        "locale=default mqtt=mqtts://127.0.0.1:8883 t discovery=true keepalive=60 store=/var/lib/h.sqlite "
        "10 30 0");
}

// The unit's LimitNOFILE holds the most a file may set up (the dearest kind, every output), and so the
// start never refuses a file --check passed outside the unit for want of descriptors.
void TestServiceConfig::largestConfigurationFitsTheUnit()
{
    ServiceConfig config;
    config.sources.resize(std::size_t(MaxSources));
    const auto kinds = acquisition::sourceKinds();
    const auto* dearest = *std::max_element(kinds.begin(), kinds.end(), [](const auto* a, const auto* b) {
        return a->descriptors < b->descriptors;
    });
    for (SourceConfig& source : config.sources) {
        source.kind = QLatin1String(dearest->name);
        source.recovery.command = QStringList{QStringLiteral("/bin/true")};
    }
    config.listen = ListenEndpoint{QHostAddress::LocalHost, 0};
    config.mqtt.emplace();
    config.alarmCommand = QStringList{QStringLiteral("/bin/true")};
    const QString unit =
        QString::fromUtf8(testing::readAll(QT_TESTCASE_SOURCEDIR "/../../packaging/quorvel3d.service"));
    const qint64 limit = unit.section(QStringLiteral("\nLimitNOFILE="), 1).section(u'\n', 0, 0).toLongLong();
    QVERIFY2(!descriptorShortage(config, limit),
             qPrintable(descriptorShortage(config, limit).value_or(QString())));
}

void TestServiceConfig::documentBounds_data()
{
    QTest::addColumn<QByteArray>("yaml");
    QTest::addColumn<QString>("expected"); // every fault; empty: loaded
    QByteArray keys;
    for (int i = 0; i < 20'000; ++i)
        keys += 'k' + QByteArray::number(i) + ": 0\n";
    QTest::newRow("20,000 keys, a late duplicate") << keys + "k7: 1\n"
                                                   << "f:20001:1: k7: given twice (first on line 8)";
    const QByteArray list = '[' + QByteArray(configyaml::MaxDocumentNodes - 2, ',') + 'x'; // a node each
    QTest::newRow("nodes up to the bound") << list + ']' << "";
    QTest::newRow("a node past it") << list + ",y]"
                                    << "f:1:160002: more than 160000 keys, values, lists and mappings here; "
                                       "a configuration needs far fewer";
}

// Each key of a mapping is checked against a hash of those before it, and a document's nodes are counted
// before any is built.
void TestServiceConfig::documentBounds()
{
    QFETCH(QByteArray, yaml);
    QFETCH(QString, expected);
    configyaml::Faults faults(QStringLiteral("f"));
    if (const auto root = configyaml::loadDocument(yaml, faults); root && root->IsMap()) {
        configyaml::Fields fields(*root, {}, faults);
        for (const auto& pair : *root)
            (void)fields.take(pair.first.Scalar().c_str());
    }
    QStringList told;
    for (const ConfigError& error : faults.told())
        told << error.text();
    QCOMPARE(told.join(u'\n'), expected);
}

QTEST_GUILESS_MAIN(TestServiceConfig)
#include "tst_serviceconfig.moc"
