#pragma once

#include "logfile/logrecord.h"
#include "acquisition/sensortable.h"
#include "scratchdir.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <optional>

#include <unistd.h>

// What the service's tests, in process and as a process, read back of what it wrote.
namespace quorvel::testing {

// The records of a log file or of captured standard output, each with its "\r\n".
inline QList<QByteArray> records(const QByteArray& bytes)
{
    QList<QByteArray> lines;
    qsizetype from = 0;
    for (qsizetype end; (end = bytes.indexOf("\r\n", from)) >= 0; from = end + 2)
        lines << bytes.mid(from, end + 2 - from);
    if (from < bytes.size())
        lines << bytes.mid(from); // a torn tail, which the checks refuse
    return lines;
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Appends what a descriptor gives without waiting; all of it once its writers are closed.
inline void readInto(int fd, QByteArray& bytes)
{
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, qsizetype(n));
}

inline qsizetype recordCount(const QString& path)
{
    return readAll(path).count("\r\n");
}

// Every record whole and read back in the locale it was written in.
inline bool allWhole(const QByteArray& bytes, const QLocale& locale = QLocale())
{
    if (!bytes.isEmpty() && !bytes.endsWith("\r\n"))
        return false;
    for (const QByteArray& line : records(bytes))
        if (!acquisition::parseAnyLogRecord(QString::fromLocal8Bit(line), locale))
            return false;
    return true;
}

// The value of one sample line ("name{labels} value"); nothing when the line is absent.
inline std::optional<double> sample(const QByteArray& text, const QByteArray& nameAndLabels)
{
    for (const QByteArray& line : text.split('\n'))
        if (line.startsWith(nameAndLabels + ' '))
            return line.mid(nameAndLabels.size() + 1).toDouble();
    return std::nullopt;
}

// The labels of a per-source series; a command line's one source is named "adapter".
inline QByteArray sourceLabels(const QByteArray& source = "adapter")
{
    return "source=\"" + source + '"';
}

inline QByteArray sensorLabels(int slot, const QByteArray& rom, const QByteArray& name = {},
                               const QByteArray& source = "adapter")
{
    return sourceLabels(source) + ",sensor=\"" + QByteArray::number(slot + 1) + "\",rom=\"" + rom +
           "\",name=\"" + name + '"';
}

inline QByteArray sensorLabels(int slot)
{
    const auto rom = acquisition::RomCodes[std::size_t(slot)];
    return sensorLabels(slot, QByteArray(rom.data(), qsizetype(rom.size())));
}

// A list of three sensors of someone else's: two the built-in table does not have, one it has (its
// sensor 5), in an order of their own, with a comment, a blank line and lower case.
inline const QByteArray ThreeSensors = "# cellar and attic\n"
                                       "3000000123456728 Cellar \"north\"\n"
                                       "\n"
                                       "bc0000000abcde28\tAttic\n"
                                       "6E00000027CD1E28\n";
inline const QStringList ThreeRoms = {QStringLiteral("3000000123456728"), QStringLiteral("BC0000000ABCDE28"),
                                      QStringLiteral("6E00000027CD1E28")};

} // namespace quorvel::testing
