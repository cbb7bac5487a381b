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

// 0 when written whole, else the errno.
int writeTreeFile(const QString& path, QByteArrayView bytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const ssize_t written = ::write(fd, bytes.data(), size_t(bytes.size()));
    const int error = written < 0 ? errno : written == bytes.size() ? 0 : EIO;
    ::close(fd);
    return error;
}

} // namespace

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
    const bool hasTemperature = QFileInfo::exists(temperature);
    const FileRead read = readTreeFile(hasTemperature ? temperature : folder + QStringLiteral("/w1_slave"));
    if (read.error != 0)
        return answerForErrno(read.error);
    return hasTemperature ? readTemperatureText(read.bytes) : readW1SlaveText(read.bytes);
}

W1Tree::Listing W1Tree::list() const
{
    const QDir dir(root_);
    if (!dir.exists())
        return {{}, QStringLiteral("%1 is not there (is the w1 kernel module loaded?)").arg(root_)};
    return {thermometersInTree(dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)), {}};
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
            conversion.refused =
                QStringLiteral("%1: %2").arg(control, QString::fromLocal8Bit(std::strerror(error)));
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
