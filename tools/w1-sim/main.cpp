// A kernel 1-Wire tree (as /sys/bus/w1/devices) served over FUSE, with the driver's files and timing, to
// test and show the w1 source without hardware.
#define FUSE_USE_VERSION 31

#include "simulatedbus.h"

#include <QCommandLineParser>
#include <QStringList>

#include <fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

using quorvel::w1sim::SimulatedBus;

namespace {

constexpr char Master[] = "w1_bus_master1";
constexpr char Control[] = "control";
// The master's driver, as /sys/bus/platform/drivers/w1-gpio.
constexpr char Drivers[] = "drivers";
constexpr char Driver[] = "drivers/w1-gpio";

SimulatedBus* bus = nullptr;

// What a path names: the root, the master's folder or a file in it, a sensor's folder or a file in it, a
// ghost's (empty) folder, the control file, the driver's folders and files.
struct Node {
    enum Kind {
        None,
        Root,
        MasterDir,
        MasterFile,
        SensorDir,
        SensorFile,
        GhostDir,
        ControlFile,
        DriversDir,
        DriverDir,
        DriverFile,
        DeviceDir
    } kind = None;
    int sensor = -1;
    std::string file;
};

const char* const SensorFiles[] = {"w1_slave",   "temperature", "conv_time",
                                   "resolution", "ext_power",   "eeprom_cmd"};
const char* const MasterFiles[] = {"therm_bulk_read", "w1_master_search", "w1_master_slaves"};

bool isSensorFile(const std::string& name, int sensor)
{
    return name == "w1_slave" || name == "conv_time" || name == "ext_power" || name == "eeprom_cmd" ||
           (name == "resolution" && bus->hasResolution(sensor)) ||
           (name == "temperature" && bus->options().temperatureFile);
}

bool isMasterFile(const std::string& name)
{
    return name == "w1_master_search" || name == "w1_master_slaves" ||
           (name == "therm_bulk_read" && bus->options().bulk);
}

// Files the kernel lets only be written, and those that take writes too.
bool writeOnly(const Node& node)
{
    return node.kind == Node::DriverFile || node.file == "eeprom_cmd";
}

bool writable(const Node& node)
{
    return writeOnly(node) || node.kind == Node::ControlFile || node.file == "therm_bulk_read" ||
           node.file == "w1_master_search" || node.file == "resolution";
}

Node driverNodeOf(const std::string& rest)
{
    if (rest == Drivers)
        return {Node::DriversDir, -1, {}};
    if (rest == Driver)
        return {Node::DriverDir, -1, {}};
    const std::string file = rest.substr(std::strlen(Driver) + 1);
    if (file == "bind" || file == "unbind")
        return {Node::DriverFile, -1, file};
    if (file == SimulatedBus::MasterDevice && bus->bound())
        return {Node::DeviceDir, -1, {}};
    return {};
}

Node nodeOf(const std::string& path)
{
    if (path == "/")
        return {Node::Root, -1, {}};
    if (path == std::string("/") + Control)
        return {Node::ControlFile, -1, {}};
    std::string rest = path.substr(1);
    if (rest == Drivers || rest == Driver || rest.rfind(std::string(Driver) + "/", 0) == 0)
        return driverNodeOf(rest);
    if (!bus->bound())
        return {};
    const std::string master = std::string(Master) + "/";
    if (rest == Master)
        return {Node::MasterDir, -1, {}};
    if (rest.rfind(master, 0) == 0) {
        rest = rest.substr(master.size());
        if (isMasterFile(rest))
            return {Node::MasterFile, -1, rest};
    }
    const auto slash = rest.find('/');
    if (slash == std::string::npos && bus->isGhost(rest))
        return {Node::GhostDir, -1, {}};
    const auto sensor = bus->sensorOf(rest.substr(0, slash));
    if (!sensor)
        return {};
    if (slash == std::string::npos)
        return {Node::SensorDir, *sensor, {}};
    const std::string file = rest.substr(slash + 1);
    return isSensorFile(file, *sensor) ? Node{Node::SensorFile, *sensor, file} : Node{};
}

int getattr(const char* path, struct stat* st, fuse_file_info*)
{
    std::memset(st, 0, sizeof *st);
    const Node node = nodeOf(path);
    switch (node.kind) {
    case Node::None:
        return -ENOENT;
    case Node::Root:
    case Node::MasterDir:
    case Node::SensorDir:
    case Node::GhostDir:
    case Node::DriversDir:
    case Node::DriverDir:
    case Node::DeviceDir:
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    default:
        // As sysfs: a page's size, whatever the text.
        st->st_mode = S_IFREG | (writeOnly(node) ? 0200 : writable(node) ? 0664 : 0444);
        st->st_nlink = 1;
        st->st_size = 4096;
        return 0;
    }
}

int readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    const Node node = nodeOf(path);
    const auto add = [&](const std::string& name) {
        fill(buf, name.c_str(), nullptr, 0, fuse_fill_dir_flags{});
    };
    add(".");
    add("..");
    switch (node.kind) {
    case Node::Root:
    case Node::MasterDir:
        for (const std::string& folder : bus->folders())
            add(folder);
        if (node.kind == Node::MasterDir) {
            for (const char* file : MasterFiles)
                if (isMasterFile(file))
                    add(file);
            return 0;
        }
        if (bus->bound())
            add(Master);
        add(Control);
        add(Drivers);
        return 0;
    case Node::SensorDir:
        for (const char* file : SensorFiles)
            if (isSensorFile(file, node.sensor))
                add(file);
        return 0;
    case Node::DriversDir:
        add(std::strchr(Driver, '/') + 1);
        return 0;
    case Node::DriverDir:
        add("bind");
        add("unbind");
        if (bus->bound())
            add(SimulatedBus::MasterDevice);
        return 0;
    case Node::GhostDir:
    case Node::DeviceDir:
        return 0;
    default:
        return -ENOTDIR;
    }
}

// Each open and read is one transaction, as in sysfs: the text is made at the first read and kept in the
// open file for the reads after it.
struct OpenFile {
    Node node;
    bool made = false;
    std::string text;
};

int open(const char* path, fuse_file_info* fi)
{
    const Node node = nodeOf(path);
    if (node.kind == Node::None)
        return -ENOENT;
    fi->direct_io = 1;
    fi->fh = reinterpret_cast<std::uint64_t>(new OpenFile{node, false, {}});
    return 0;
}

int release(const char*, fuse_file_info* fi)
{
    delete reinterpret_cast<OpenFile*>(fi->fh);
    return 0;
}

int read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi)
{
    auto* file = reinterpret_cast<OpenFile*>(fi->fh);
    if (!file->made) {
        file->made = true;
        const auto interrupted = [] { return fuse_interrupted() != 0; };
        const Node& node = file->node;
        SimulatedBus::Answer answer;
        if (node.kind == Node::ControlFile)
            answer.text = bus->statistics();
        else if (writeOnly(node))
            answer.error = EIO;
        else if (node.file == "therm_bulk_read")
            answer.text = bus->bulkState();
        else if (node.file == "w1_master_search")
            answer.text = bus->masterSearch();
        else if (node.file == "w1_master_slaves")
            answer.text = bus->masterSlaves();
        else if (node.file == "w1_slave")
            answer = bus->readW1Slave(node.sensor, interrupted);
        else if (node.file == "temperature")
            answer = bus->readTemperature(node.sensor, interrupted);
        else if (node.file == "conv_time")
            answer.text = bus->convTime(node.sensor);
        else if (node.file == "resolution")
            answer.text = bus->resolution(node.sensor);
        else if (node.file == "ext_power")
            answer.text = bus->extPower(node.sensor);
        if (answer.error != 0)
            return -answer.error;
        file->text = answer.text;
    }
    if (offset >= off_t(file->text.size()))
        return 0;
    const size_t n = std::min(size, file->text.size() - size_t(offset));
    std::memcpy(buf, file->text.data() + offset, n);
    return int(n);
}

int write(const char*, const char* buf, size_t size, off_t, fuse_file_info* fi)
{
    const Node& node = reinterpret_cast<OpenFile*>(fi->fh)->node;
    const std::string text(buf, size);
    bool ok = false;
    if (node.kind == Node::DriverFile) {
        const int error = bus->driverWrite(node.file == "bind", text);
        return error == 0 ? int(size) : -error;
    }
    if (node.kind == Node::ControlFile)
        ok = bus->control(text);
    else if (node.file == "therm_bulk_read")
        ok = bus->bulkWrite(text);
    else if (node.file == "w1_master_search")
        ok = bus->setMasterSearch(text);
    else if (node.kind == Node::SensorFile && node.file == "resolution")
        ok = bus->setResolution(node.sensor, text);
    else if (node.kind == Node::SensorFile && node.file == "eeprom_cmd")
        ok = bus->eepromCommand(node.sensor, text);
    else
        return -EACCES;
    return ok ? int(size) : -EINVAL;
}

int truncate(const char*, off_t, fuse_file_info*)
{
    return 0;
}

// What the control file takes, after the options' own help.
constexpr const char* ControlHelp =
    "\nServes a kernel 1-Wire tree at MOUNTPOINT until SIGTERM or SIGINT: w1_bus_master1 (with\n"
    "therm_bulk_read, w1_master_search, w1_master_slaves) and N DS18B20s (28-000000000001 ...) at BITS\n"
    "(their EEPROMs too), each read taking the conversion time (94, 188, 375, 750 ms at 9 to 12 bits) and\n"
    "giving the value in the resolution's steps (1/2 to 1/16 degree), with\n"
    "resolution, ext_power and eeprom_cmd (save, restore); and the master's driver as drivers/w1-gpio with\n"
    "bind, unbind and onewire@0 (write onewire@0 to unbind: every folder goes; to bind: back, unstuck).\n"
    "Write to MOUNTPOINT/control, one command a line, sensors counted from 1:\n"
    "  fault N none|crc|poweron|zero|eio|empty|hang    unplug N    plug N\n"
    "  set N MILLIDEGREES    spike N MILLIDEGREES (its next read only)    parasite N    external N\n"
    "  noresolution N (no resolution file, as a DS18S20)    ghost N (N devices 00-... on the bus)\n"
    "  stall (therm_bulk_read never says done)    release (ends every hang, stall)\n"
    "  stick (reads fail as on a dead bus until a write to w1_master_search, a power-cycle or a rebind)\n"
    "  stick-hard (the same, but a search does not help)    power-cycle (unsticks; EEPROMs loaded)\n"
    "A crc fault reads as \"crc=.. NO\" with --no-temperature (a kernel before 5.9), else as nothing.\n"
    "Reading MOUNTPOINT/control gives the conversions, bulk conversions, EEPROM writes and searches so "
    "far.\n";

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A simulated kernel 1-Wire bus, for tests and the demo."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption sensors(QStringLiteral("sensors"),
                                     QStringLiteral("N sensors (1 to 4096; default 13)."),
                                     QStringLiteral("N"), QStringLiteral("13"));
    const QCommandLineOption resolution(QStringLiteral("resolution"),
                                        QStringLiteral("Their resolution in bits (9 to 12; default 12)."),
                                        QStringLiteral("BITS"), QStringLiteral("12"));
    const QCommandLineOption noBulk(QStringLiteral("no-bulk"),
                                    QStringLiteral("No therm_bulk_read, as before Linux 5.9."));
    const QCommandLineOption noTemperature(
        QStringLiteral("no-temperature"),
        QStringLiteral("No temperature files, as before Linux 5.9: w1_slave only."));
    const QCommandLineOption drift(
        QStringLiteral("drift"),
        QStringLiteral("Let each temperature drift as the adapter simulator's do (sensor n between 15+n and "
                       "21+n degrees, 13 ranges repeated), a 1/16 degree step at most a read, the same for "
                       "the same SEED; without it they hold still."),
        QStringLiteral("SEED"));
    parser.addOptions({help, sensors, resolution, noBulk, noTemperature, drift});
    parser.addPositionalArgument(QStringLiteral("MOUNTPOINT"),
                                 QStringLiteral("An empty folder to serve the tree at."));
    const QString usage =
        parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("quorvel3-w1-sim")) +
        QLatin1String(ControlHelp);
    if (!parser.parse(arguments) || parser.isSet(help)) {
        if (!parser.isSet(help))
            std::fprintf(stderr, "quorvel3-w1-sim: %s\n", qPrintable(parser.errorText()));
        std::fputs(qPrintable(usage), parser.isSet(help) ? stdout : stderr);
        return parser.isSet(help) ? 0 : 64;
    }
    SimulatedBus::Options options;
    bool numbers = true;
    bool ok = false;
    options.sensors = parser.value(sensors).toInt(&ok);
    numbers = numbers && ok;
    options.resolution = parser.value(resolution).toInt(&ok);
    numbers = numbers && ok;
    options.bulk = !parser.isSet(noBulk);
    options.temperatureFile = !parser.isSet(noTemperature);
    if (parser.isSet(drift)) {
        options.driftSeed = parser.value(drift).toULongLong(&ok);
        numbers = numbers && ok;
    }
    const QStringList positional = parser.positionalArguments();
    if (!numbers || positional.size() != 1 || options.sensors < 1 || options.sensors > 4096 ||
        options.resolution < 9 || options.resolution > 12) {
        std::fputs("quorvel3-w1-sim: one MOUNTPOINT, 1 to 4096 sensors, 9 to 12 bits and a whole SEED\n",
                   stderr);
        return 64;
    }
    const QByteArray mountpointBytes = positional.first().toLocal8Bit();
    const char* mountpoint = mountpointBytes.constData();
    SimulatedBus simulated(options);
    bus = &simulated;

    fuse_operations ops{};
    ops.getattr = getattr;
    ops.readdir = readdir;
    ops.open = open;
    ops.release = release;
    ops.read = read;
    ops.write = write;
    ops.truncate = truncate;
    char* fuseArgv[] = {argv[0], const_cast<char*>("-o"), const_cast<char*>("default_permissions")};
    fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
    fuse* f = fuse_new(&args, &ops, sizeof ops, nullptr);
    // fuse_new copies what it keeps of the arguments.
    fuse_opt_free_args(&args);
    if (!f)
        return 71;
    if (fuse_mount(f, mountpoint) != 0) {
        std::fprintf(stderr, "quorvel3-w1-sim: cannot mount at %s\n", mountpoint);
        fuse_destroy(f);
        return 71;
    }
    fuse_session* session = fuse_get_session(f);
    fuse_set_signal_handlers(session);
    // The line a test or a script waits for.
    std::printf("serving %d sensors at %s\n", options.sensors, mountpoint);
    std::fflush(stdout);
    // A hung read must not hold up the others: one thread per request in flight.
    const int status = fuse_loop_mt(f, 0);
    simulated.shutDown();
    fuse_remove_signal_handlers(session);
    fuse_unmount(f);
    fuse_destroy(f);
    return status == 0 ? 0 : 1;
}
