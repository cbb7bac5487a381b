#include "logsession.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel::acquisition {

namespace {

QString reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Whether a non-empty regular file ends in anything but "\n", read through a second descriptor because
// the log descriptor is write-only. A file that cannot be read is taken as whole.
bool endsInTornLine(int fd, const QByteArray& nativePath)
{
    struct stat written {};
    if (::fstat(fd, &written) != 0 || !S_ISREG(written.st_mode) || written.st_size == 0)
        return false;
    const int readFd = ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC);
    if (readFd < 0)
        return false;
    bool torn = false;
    struct stat opened {};
    char last = '\n';
    if (::fstat(readFd, &opened) == 0 && opened.st_dev == written.st_dev && opened.st_ino == written.st_ino &&
        ::pread(readFd, &last, 1, opened.st_size - 1) == 1)
        torn = last != '\n';
    ::close(readFd);
    return torn;
}

} // namespace

QByteArray encodeLogLine(const QString& line)
{
    return line.toLocal8Bit();
}

LogSession::LogSession(QObject* parent) : QObject(parent) {}

LogSession::~LogSession()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::optional<QString> LogSession::open(const QString& path)
{
    close();
    const QByteArray nativePath = QFile::encodeName(path);
    int fd = -1;
    do {
        fd = ::open(nativePath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return tr("The log file %1 cannot be opened: %2").arg(path, reason(errno));

    fd_ = fd;
    path_ = path;
    lineBreakPending_ = endsInTornLine(fd_, nativePath);
    emit loggingActiveChanged(LoggingActive());
    return std::nullopt;
}

void LogSession::close()
{
    if (fd_ < 0)
        return;
    // Not retried on EINTR: on Linux the descriptor is gone either way.
    ::close(fd_);
    fd_ = -1;
    lineBreakPending_ = false;
    emit loggingActiveChanged(LoggingActive());
}

std::optional<QString> LogSession::writeRecord(const QByteArray& line)
{
    if (fd_ < 0)
        return tr("The log write failed: the log file is not open");

    const QByteArray data = lineBreakPending_ ? QByteArrayLiteral("\r\n") + line : line;
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd_, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            // Part of the record went out: the file now ends in a torn line.
            if (done > 0)
                lineBreakPending_ = true;
            return tr("The log write failed: %1").arg(reason(error));
        }
        done += n;
    }
    if (!data.isEmpty())
        lineBreakPending_ = !data.endsWith('\n');
    return std::nullopt;
}

} // namespace quorvel::acquisition
