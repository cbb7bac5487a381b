#pragma once

#include "runtime/error.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>

namespace quorvel::acquisition {

// The line as the log file stores it: the local 8-bit code page.
[[nodiscard]] QByteArray encodeLogLine(const QString& line);

// Why the path cannot be a log, looked at without opening it: it names a FIFO, a socket or a folder. Empty
// for a regular file, a device, or nothing yet (the log creates it).
[[nodiscard]] QString logPathProblem(const QString& path);

// The log channel: one file opened for appending, written one whole record per write() call and never
// buffered in the process, so a crash or a kill between records leaves only whole lines behind.
//
// It loses nothing it could keep: before each record it checks that the chosen path still names the open
// file and opens the path anew when it does not (the file was renamed, deleted or replaced); a record that
// fails part way is cut off again, so the file holds it whole or not at all; each record is flushed to
// stable storage before the write counts as done. Records that could not be written are counted from the
// first failure until the next open(), so a loss stays visible after writing has resumed.
class LogSession : public QObject {
    Q_OBJECT
public:
    explicit LogSession(QObject* parent = nullptr);
    ~LogSession() override;

    LogSession(const LogSession&) = delete;
    LogSession& operator=(const LogSession&) = delete;

    // -1 exactly while logging is on (from a successful open() to close()), else 0. Logging stays on while
    // the chosen path cannot be opened again; each record then fails until it can.
    [[nodiscard]] std::int16_t LoggingActive() const { return active_ ? std::int16_t(-1) : std::int16_t(0); }
    [[nodiscard]] bool isOpen() const { return active_; }
    // The file last opened successfully; kept after close().
    [[nodiscard]] QString path() const { return path_; }

    // Opens the file for appending, creating it if needed; a file that is already open is closed first.
    // Forgets the losses and the new-file notice of the previous period. A failure names the file and the
    // system's reason; the session is then closed.
    [[nodiscard]] runtime::Error open(const QString& path);
    // Safe when nothing is open. A failure the system reports on closing counts as one record lost.
    void close();

    // Appends the record (already ending in "\r\n") in one write, retried on interruption and short
    // writes, then flushes it to stable storage. If the file ended in a torn line, a line break goes in
    // front of the first record. On failure the file is cut back to its length before the record.
    [[nodiscard]] runtime::Error writeRecord(const QByteArray& line);

    // Records that could not be written since the last open(), the time of the first of them and the
    // system's reason for the latest.
    [[nodiscard]] qint64 lostRecords() const { return lostRecords_; }
    [[nodiscard]] QDateTime lostSince() const { return lostSince_; }
    // When the chosen path was last opened anew while logging; null if it was not.
    [[nodiscard]] QDateTime newFileStarted() const { return newFileStarted_; }
    // What the user should be told about this logging period: the losses ("3 records could not be written
    // since 11:54:53: No space left on device") and the new file; empty when there is nothing to tell.
    [[nodiscard]] QString report() const;

    // A log is a regular file or a device; a FIFO, a socket or a folder is refused without waiting. The
    // service's standard output is whatever its starter made it (a pipe, the journal's socket): its
    // descriptor is taken as it is, since a socket's path cannot be opened.
    void setStandardOutput(bool standardOutput) { standardOutput_ = standardOutput; }

    // Flushing each record is the default; only a measurement of its cost turns it off.
    void setSyncEachRecord(bool sync) { syncEachRecord_ = sync; }

signals:
    void loggingActiveChanged(std::int16_t loggingActive);

private:
    // Why the path cannot be written, or nothing when it now names the open file.
    QString followPath();
    QString openFile();
    // Closes the descriptor; a reported failure counts as a lost record.
    void closeFile();
    runtime::Failure failed(const QString& problem);
    void countLoss(const QString& problem);

    int fd_ = -1;
    bool active_ = false;
    bool syncEachRecord_ = true;
    bool standardOutput_ = false;
    QString path_;
    bool lineBreakPending_ = false;
    qint64 lostRecords_ = 0;
    QDateTime lostSince_;
    QString lossReason_;
    QDateTime newFileStarted_;
};

} // namespace quorvel::acquisition
