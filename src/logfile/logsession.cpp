#include "logsession.h"

#include "runtime/regularfile.h"

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

bool isLogKind(mode_t mode)
{
    return S_ISREG(mode) || S_ISCHR(mode);
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

QString logPathProblem(const QString& path)
{
    struct stat named {};
    if (::stat(QFile::encodeName(path).constData(), &named) != 0 || isLogKind(named.st_mode))
        return {};
    return runtime::fileKindProblem(named.st_mode);
}

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
    if (const QString problem = openFile(); !problem.isEmpty()) {
        path_ = previous;
        return runtime::Failure{tr("The log file %1 cannot be opened: %2").arg(path, problem)};
    }
    active_ = true;
    emit loggingActiveChanged(LoggingActive());
    return std::nullopt;
}

QString LogSession::openFile()
{
    const QByteArray nativePath = QFile::encodeName(path_);
    int fd = -1;
    if (standardOutput_) {
        if ((fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0)) < 0)
            return reason(errno);
        fd_ = fd;
        lineBreakPending_ = endsInTornLine(fd_, nativePath);
        return {};
    }
    // Non-blocking: opening a FIFO waits for a reader, for ever if none comes. What it names is looked at
    // through the descriptor, so a FIFO swapped in after a check is caught too.
    do {
        fd = ::open(nativePath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                    0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // A FIFO without a reader and a socket both say ENXIO: the kind says more.
        const int error = errno;
        struct stat named {};
        if (error == ENXIO && ::stat(nativePath.constData(), &named) == 0 && !isLogKind(named.st_mode))
            return runtime::fileKindProblem(named.st_mode);
        return reason(error);
    }
    struct stat opened {};
    QString problem;
    if (::fstat(fd, &opened) != 0)
        problem = reason(errno);
    else if (!isLogKind(opened.st_mode))
        problem = runtime::fileKindProblem(opened.st_mode);
    if (!problem.isEmpty()) {
        ::close(fd);
        return problem;
    }
    // A device's writes wait as a file's do.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        problem = reason(errno);
        ::close(fd);
        return problem;
    }
    fd_ = fd;
    lineBreakPending_ = endsInTornLine(fd_, nativePath);
    return {};
}

void LogSession::closeFile()
{
    if (fd_ < 0)
        return;
    // Not retried on EINTR: on Linux the descriptor is gone either way. A file system that reports a
    // write error only now (a network one, say) has lost something of this file.
    if (::close(fd_) != 0 && errno != EINTR)
        countLoss(reason(errno));
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

QString LogSession::followPath()
{
    if (standardOutput_ && fd_ >= 0)
        return {}; // the descriptor it was given, whatever its path shows now
    if (fd_ >= 0) {
        struct stat named {};
        struct stat open {};
        if (::stat(QFile::encodeName(path_).constData(), &named) == 0) {
            if (::fstat(fd_, &open) != 0 || sameFile(named, open))
                return {};
        } else if (errno != ENOENT && errno != ENOTDIR) {
            // The path cannot be looked at just now: the open file is still the best place for the record.
            return {};
        }
        // Renamed, deleted or replaced: what is written to the open file now is out of the user's sight.
        closeFile();
    }
    if (QString problem = openFile(); !problem.isEmpty())
        return problem;
    newFileStarted_ = QDateTime::currentDateTime();
    return {};
}

void LogSession::countLoss(const QString& problem)
{
    if (lostRecords_++ == 0)
        lostSince_ = QDateTime::currentDateTime();
    lossReason_ = problem;
}

runtime::Failure LogSession::failed(const QString& problem)
{
    countLoss(problem);
    return runtime::Failure{tr("The log write failed: %1").arg(problem)};
}

runtime::Error LogSession::writeRecord(const QByteArray& line)
{
    if (!active_)
        return runtime::Failure{tr("The log write failed: the log file is not open")};
    if (const QString problem = followPath(); !problem.isEmpty())
        return failed(problem);

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
        return failed(reason(error));
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
