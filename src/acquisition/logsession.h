#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>

namespace quorvel::acquisition {

// The line as the log file stores it: the local 8-bit code page.
[[nodiscard]] QByteArray encodeLogLine(const QString& line);

// The log channel: one file opened for appending, written one whole record per write() call and never
// buffered in the process, so a crash or a kill between records leaves only whole lines behind.
class LogSession : public QObject {
    Q_OBJECT
public:
    explicit LogSession(QObject* parent = nullptr);
    ~LogSession() override;

    LogSession(const LogSession&) = delete;
    LogSession& operator=(const LogSession&) = delete;

    // -1 exactly while the file is open, else 0.
    [[nodiscard]] std::int16_t LoggingActive() const { return fd_ >= 0 ? std::int16_t(-1) : std::int16_t(0); }
    [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
    // The file last opened successfully; kept after close().
    [[nodiscard]] QString path() const { return path_; }

    // Opens the file for appending, creating it if needed; a file that is already open is closed first.
    // The error names the file and the system's reason; the session is then closed.
    [[nodiscard]] std::optional<QString> open(const QString& path);
    // Safe when nothing is open.
    void close();

    // Appends the record (already ending in "\r\n") in one write, retried on interruption and short
    // writes. If the file ended in a torn line, a line break goes in front of the first record.
    [[nodiscard]] std::optional<QString> writeRecord(const QByteArray& line);

signals:
    void loggingActiveChanged(std::int16_t loggingActive);

private:
    int fd_ = -1;
    QString path_;
    bool lineBreakPending_ = false;
};

} // namespace quorvel::acquisition
