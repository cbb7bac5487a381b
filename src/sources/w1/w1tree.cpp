#include "w1tree.h"

#include "acquisition/sensorlist.h"
#include "w1slavetext.h"
#include "w1treenames.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <thread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quorvel::acquisition {

namespace {

// A w1_slave text is two lines of some 40 bytes; anything longer is garbled anyway.
constexpr qsizetype MaxFileBytes = 4096;
constexpr char BulkControl[] = "therm_bulk_read";
constexpr char ConvertingNow[] = "-1";

constexpr char SearchControl[] = "w1_master_search";
constexpr char NoResolutionFamily[] = "10";

// The bits a `resolution` file says, when 9 to 12.
std::optional<int> resolutionOf(const FileRead& read)
{
    bool ok = false;
    const int bits = read.bytes.trimmed().toInt(&ok);
    if (read.error != 0 || !ok || bits < 9 || bits > 12)
        return std::nullopt;
    return bits;
}

} // namespace

int writeTreeFile(const QString& path, QByteArrayView bytes)
{
    // Truncated as a shell's redirection does, which a plain file (a test's tree) needs and sysfs ignores.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const ssize_t written = ::write(fd, bytes.data(), size_t(bytes.size()));
    const int error = written < 0 ? errno : written == bytes.size() ? 0 : EIO;
    ::close(fd);
    return error;
}

QString errorWords(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

FileRead readTreeFile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {{}, errno};
    FileRead result;
    result.bytes.resize(MaxFileBytes);
    qsizetype filled = 0;
    while (filled < MaxFileBytes) {
        const ssize_t n = ::read(fd, result.bytes.data() + filled, size_t(MaxFileBytes - filled));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.error = errno;
            break;
        }
        if (n == 0)
            break;
        filled += n;
    }
    ::close(fd);
    result.bytes.truncate(filled);
    return result;
}

SensorAnswer W1Tree::readSensor(const QString& romCode) const
{
    const QString folder = root_ + u'/' + linuxId(romCode);
    const QString temperature = folder + QStringLiteral("/temperature");
    const QString slave = folder + QStringLiteral("/w1_slave");
    const auto readSlave = [&slave] {
        const FileRead read = readTreeFile(slave);
        return read.error != 0 ? answerForErrno(read.error) : readW1SlaveText(read.bytes);
    };
    if (!QFileInfo::exists(temperature))
        return readSlave();
    const FileRead read = readTreeFile(temperature);
    if (read.error != 0)
        return answerForErrno(read.error);
    const SensorAnswer answer = readTemperatureText(read.bytes);
    // A scratchpad of zeros passes its CRC and reads 0 °C there; only the scratchpad itself tells it from a
    // true 0, at the cost of one more conversion for that value alone.
    if (answer.outcome == ReadOutcome::Ok && answer.value == 0 && QFileInfo::exists(slave))
        return readSlave();
    return answer;
}

W1Tree::Listing W1Tree::list() const
{
    const QDir dir(root_);
    if (!dir.exists())
        return {{}, {}, QStringLiteral("%1 is not there (is the w1 kernel module loaded?)").arg(root_)};
    const QStringList folders = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    Listing listing{thermometersInTree(folders), {}, {}};
    for (const QString& name : folders)
        if (isDeviceFolder(name))
            listing.devices.append(name.toLower());
    listing.devices.sort();
    return listing;
}

W1Tree::Listing W1Tree::search() const
{
    const QDir dir(root_);
    QStringList refused;
    const QStringList masters = dir.entryList({QStringLiteral("w1_bus_master*")}, QDir::Dirs | QDir::System);
    for (const QString& master : masters) {
        const QString control = dir.filePath(master + u'/' + QLatin1String(SearchControl));
        if (const int error = writeTreeFile(control, "1\n"); error != 0)
            refused << QStringLiteral("%1: %2").arg(control, errorWords(error));
    }
    Listing listing = list();
    if (masters.isEmpty() && listing.problem.isEmpty())
        listing.problem = QStringLiteral("no bus master in %1 to search").arg(root_);
    if (!refused.isEmpty() && listing.problem.isEmpty())
        listing.problem =
            QStringLiteral("the search was refused: %1").arg(refused.join(QStringLiteral("; ")));
    return listing;
}

SensorFacts W1Tree::setUp(const QString& romCode, std::optional<int> bits, bool save) const
{
    const QString id = linuxId(romCode);
    const QString folder = root_ + u'/' + id + u'/';
    SensorFacts facts;
    const QByteArray power = readTreeFile(folder + QStringLiteral("ext_power")).bytes.trimmed();
    if (power == "1" || power == "0")
        facts.parasite = power == "0";
    facts.wantedResolution = bits;
    const QString resolution = folder + QStringLiteral("resolution");
    if (id.startsWith(QLatin1String(NoResolutionFamily)) || !QFileInfo::exists(resolution)) {
        if (bits)
            facts.problem = QStringLiteral("%1 has no resolution to set").arg(id);
        return facts;
    }
    const auto failed = [&](const QString& path, int error) {
        facts.problem = QStringLiteral("%1 could not be written: %2").arg(path, errorWords(error));
        facts.resolution = resolutionOf(readTreeFile(resolution));
        return facts;
    };
    const QString eeprom = folder + QStringLiteral("eeprom_cmd");
    // Restoring copies the EEPROM into the scratchpad without wearing it, so the read after says what it
    // holds.
    if (bits && save) {
        if (const int error = writeTreeFile(eeprom, "restore\n"); error != 0)
            return failed(eeprom, error);
        facts.savedResolution = resolutionOf(readTreeFile(resolution));
    }
    if (bits)
        if (const int error = writeTreeFile(resolution, QByteArray::number(*bits) + '\n'); error != 0)
            return failed(resolution, error);
    facts.resolution = resolutionOf(readTreeFile(resolution));
    if (bits && facts.resolution != bits) {
        facts.problem =
            QStringLiteral("%1 converts at %2 after %3 bits were written")
                .arg(id, facts.resolution ? QString::number(*facts.resolution) + QStringLiteral(" bits")
                                          : QStringLiteral("an unknown resolution"))
                .arg(*bits);
        return facts;
    }
    if (bits && save && facts.savedResolution != bits) {
        if (const int error = writeTreeFile(eeprom, "save\n"); error != 0)
            return failed(eeprom, error);
        facts.eepromWritten = true;
    }
    return facts;
}

QStringList W1Tree::bulkControls() const
{
    QStringList controls;
    const QDir dir(root_);
    for (const QString& master :
         dir.entryList({QStringLiteral("w1_bus_master*")}, QDir::Dirs | QDir::System)) {
        const QString control = dir.filePath(master + u'/' + QLatin1String(BulkControl));
        if (QFileInfo::exists(control))
            controls.append(control);
    }
    return controls;
}

std::chrono::milliseconds W1Tree::conversionTime(const QStringList& romCodes,
                                                 QString& badConversionTime) const
{
    std::chrono::milliseconds longest{0};
    for (const QString& code : romCodes) {
        const QString path = root_ + u'/' + linuxId(code) + QStringLiteral("/conv_time");
        bool ok = false;
        const qlonglong ms = readTreeFile(path).bytes.trimmed().toLongLong(&ok);
        const bool usable = ok && ms > 0 && ms <= LongestConversion.count();
        // A kernel without the file leaves the default to the sensor's family, silently.
        if (ok && !usable)
            badConversionTime = QStringLiteral("%1 says %2 ms, not 1 to %3; the bus waits %4 ms instead")
                                    .arg(path)
                                    .arg(ms)
                                    .arg(LongestConversion.count())
                                    .arg(DefaultConversion.count());
        longest = std::max(longest, usable ? std::chrono::milliseconds(ms) : DefaultConversion);
    }
    return longest;
}

W1Tree::Conversion W1Tree::convertAll(const QStringList& romCodes) const
{
    QStringList started;
    Conversion conversion;
    for (const QString& control : bulkControls()) {
        if (const int error = writeTreeFile(control, "trigger\n"); error == 0)
            started.append(control);
        else
            conversion.refused = QStringLiteral("%1: %2").arg(control, errorWords(error));
    }
    if (started.isEmpty())
        return conversion;
    conversion.converted = true;
    // This is the bus's own worker thread, which has nothing else to do while the bus converts: it sleeps
    // through the conversion time, then asks until the masters say done.
    const auto longest = conversionTime(romCodes, conversion.badConversionTime);
    const auto deadline = std::chrono::steady_clock::now() + longest + ConversionMargin;
    std::this_thread::sleep_for(longest);
    QStringList unfinished;
    for (const QString& control : started) {
        bool converting = true;
        while ((converting = readTreeFile(control).bytes.trimmed() == ConvertingNow) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(BulkPollInterval);
        if (converting)
            unfinished.append(control);
    }
    if (!unfinished.isEmpty())
        conversion.unfinished =
            QStringLiteral("%1 still said \"converting\" %2 ms after the trigger; the sensors are read then")
                .arg(unfinished.join(QStringLiteral(", ")))
                .arg((longest + ConversionMargin).count());
    return conversion;
}

} // namespace quorvel::acquisition
