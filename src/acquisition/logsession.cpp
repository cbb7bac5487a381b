#include "logsession.h"

#include "runtime/conversions.h"
#include "runtime/localeformats.h"

#include <QFile>
#include <QLocale>
#include <QStringList>

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

QString timeText(const QDateTime& when)
{
    const QLocale locale;
    return locale.toString(when.time(), runtime::longTimeFormat(locale));
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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
    if (::fstat(readFd, &opened) == 0 && sameFile(opened, written) &&
        ::pread(readFd, &last, 1, opened.st_size - 1) == 1)
        torn = last != '\n';
    ::close(readFd);
    return torn;
}

// Cuts a regular file back to the length it had before a record; true when the file holds what it held.
bool cutBack(int fd, off_t length)
{
    int result = 0;
    do {
        result = ::ftruncate(fd, length);
    } while (result != 0 && errno == EINTR);
    return result == 0;
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

runtime::Error LogSession::open(const QString& path)
{
    close();
    lostRecords_ = 0;
    lostSince_ = {};
    lossReason_.clear();
    newFileStarted_ = {};

    const QString previous = path_;
    path_ = path;
    if (const int error = openFile()) {
        path_ = previous;
        return runtime::Failure{tr("The log file %1 cannot be opened: %2").arg(path, reason(error))};
    }
    active_ = true;
    emit loggingActiveChanged(LoggingActive());
    return std::nullopt;
}

int LogSession::openFile()
{
    const QByteArray nativePath = QFile::encodeName(path_);
    int fd = -1;
    do {
        fd = ::open(nativePath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    fd_ = fd;
    lineBreakPending_ = endsInTornLine(fd_, nativePath);
    return 0;
}

void LogSession::closeFile()
{
    if (fd_ < 0)
        return;
    // Not retried on EINTR: on Linux the descriptor is gone either way. A file system that reports a
    // write error only now (a network one, say) has lost something of this file.
    if (::close(fd_) != 0 && errno != EINTR)
        countLoss(errno);
    fd_ = -1;
}

void LogSession::close()
{
    if (!active_)
        return;
    closeFile();
    active_ = false;
    lineBreakPending_ = false;
    emit loggingActiveChanged(LoggingActive());
}

int LogSession::followPath()
{
    if (fd_ >= 0) {
        struct stat named {};
        struct stat open {};
        if (::stat(QFile::encodeName(path_).constData(), &named) == 0) {
            if (::fstat(fd_, &open) != 0 || sameFile(named, open))
                return 0;
        } else if (errno != ENOENT && errno != ENOTDIR) {
            // The path cannot be looked at just now: the open file is still the best place for the record.
            return 0;
        }
        // Renamed, deleted or replaced: what is written to the open file now is out of the user's sight.
        closeFile();
    }
    if (const int error = openFile())
        return error;
    newFileStarted_ = QDateTime::currentDateTime();
    return 0;
}

void LogSession::countLoss(int error)
{
    if (lostRecords_++ == 0)
        lostSince_ = QDateTime::currentDateTime();
    lossReason_ = reason(error);
}

runtime::Failure LogSession::failed(int error)
{
    countLoss(error);
    return runtime::Failure{tr("The log write failed: %1").arg(reason(error))};
}

runtime::Error LogSession::writeRecord(const QByteArray& line)
{
    if (!active_)
        return runtime::Failure{tr("The log write failed: the log file is not open")};
    if (const int error = followPath())
        return failed(error);

    struct stat before {};
    const bool regular = ::fstat(fd_, &before) == 0 && S_ISREG(before.st_mode);
    const QByteArray data = lineBreakPending_ ? QByteArrayLiteral("\r\n") + line : line;
    qsizetype done = 0;
    int error = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd_, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += n;
    }
    // Only files can be flushed; a device or a pipe takes the record as it comes.
    if (error == 0 && regular && syncEachRecord_) {
        while (::fdatasync(fd_) != 0) {
            if (errno != EINTR) {
                error = errno;
                break;
            }
        }
    }
    if (error != 0) {
        // A record is whole or absent: what went out of it is taken back.
        if (done > 0 && !(regular && cutBack(fd_, before.st_size)))
            lineBreakPending_ = !data.left(done).endsWith('\n');
        return failed(error);
    }
    if (!data.isEmpty())
        lineBreakPending_ = !data.endsWith('\n');
    return std::nullopt;
}

QString LogSession::report() const
{
    QStringList parts;
    if (lostRecords_ > 0)
        parts << tr("%1 could not be written since %2: %3")
                     .arg(runtime::countText(lostRecords_, "record"), timeText(lostSince_), lossReason_);
    if (newFileStarted_.isValid())
        parts << tr("A new log file was started at %1: %2").arg(timeText(newFileStarted_), path_);
    return parts.join(QStringLiteral(". "));
}

} // namespace quorvel::acquisition
