#include "regularfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel::runtime {

namespace {

RegularFileRead noInput(const QString& problem)
{
    return {RegularFileRead::Status::NoInput, {}, problem};
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

QString fileKindProblem(unsigned mode)
{
    const char* kind = S_ISDIR(mode)    ? "a folder"
                       : S_ISFIFO(mode) ? "a FIFO"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "a device";
    return QStringLiteral("is %1, not a regular file").arg(QLatin1String(kind));
}

RegularFileRead readRegularFile(const QString& path, qint64 maxBytes)
{
    // Without O_NONBLOCK, opening a FIFO waits for a writer, for ever if none comes.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return noInput(systemError());
    QFile handle;
    if (!handle.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return noInput(handle.errorString());
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return noInput(systemError());
    if (!S_ISREG(info.st_mode))
        return noInput(fileKindProblem(info.st_mode));
    if (info.st_size > maxBytes)
        return {RegularFileRead::Status::TooLarge, {}, {}};
    // The file may have grown since fstat: one byte more than allowed tells.
    QByteArray bytes = handle.read(maxBytes + 1);
    if (handle.error() != QFileDevice::NoError)
        return noInput(handle.errorString());
    if (bytes.size() > maxBytes)
        return {RegularFileRead::Status::TooLarge, {}, {}};
    return {RegularFileRead::Status::Ok, bytes, {}};
}

} // namespace quorvel::runtime
