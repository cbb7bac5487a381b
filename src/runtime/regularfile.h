#pragma once

#include <QByteArray>
#include <QString>

namespace quorvel::runtime {

// "is a FIFO, not a regular file" and the like, for a file's mode as stat() gives it.
[[nodiscard]] QString fileKindProblem(unsigned mode);

// The whole of a file a person named, read without ever waiting: a FIFO, a device, a socket or a folder is
// refused before a byte is read, and so is a file larger than the cap, even one that grows while read.
struct RegularFileRead {
    enum class Status { Ok, NoInput, TooLarge };
    Status status = Status::Ok;
    QByteArray bytes;
    // For NoInput: the system's reason, or "is a FIFO, not a regular file" and the like.
    QString problem;
};
[[nodiscard]] RegularFileRead readRegularFile(const QString& path, qint64 maxBytes);

} // namespace quorvel::runtime
