#pragma once

#include "logrecord.h"

#include <QByteArrayView>
#include <QList>
#include <QLocale>
#include <QString>

#include <optional>

namespace quorvel::logfile {

// Why a line is not a record. Only DateTime and Reading depend on the locale the file is read in.
enum class LineProblem {
    Empty,
    TooLong,
    ControlCharacters,
    NotText,
    NotARecord,
    DateTime,
    Reading,
    Incomplete
};

// A line of a log file that is not a record.
struct LineError {
    qsizetype line = 0; // 1-based
    QString reason;
    LineProblem problem = LineProblem::NotARecord;
};

// How many lines of a file failed for one reason, and the first of them.
struct ProblemCount {
    LineProblem problem = LineProblem::NotARecord;
    qsizetype lines = 0;
    LineError first;
};

struct LogFileContents {
    // Only the first bad lines of each problem are kept with their reasons, so junk input cannot
    // exhaust memory; badLines and problems count them all.
    static constexpr qsizetype MaxKeptErrors = 100;
    // A record is about 200 characters; anything far longer is not one and is not parsed at all.
    static constexpr qsizetype MaxLineBytes = 4096;

    QList<acquisition::LogRecord> records;
    QList<LineError> errors; // in file order
    qsizetype badLines = 0;
    qsizetype lines = 0;
    QList<ProblemCount> problems; // in the order each problem first occurs
};

// Reads one line of a log file (without its line end; length is its true length, which may exceed the
// bytes given for a line too long to keep): the record, or nothing after counting the line's problem in
// contents, whose records this leaves alone.
[[nodiscard]] std::optional<acquisition::LogRecord> readLogLine(LogFileContents& contents,
                                                                qsizetype lineNumber, QByteArrayView line,
                                                                qsizetype length, const QLocale& locale,
                                                                std::optional<QString>* text = nullptr);
// The line as text when it passes every check that does not depend on the locale.
[[nodiscard]] std::optional<QString> recordTextOf(QByteArrayView line, qsizetype length);

// Reads the bytes of a whole log file written in the given locale, in the local 8-bit code page as
// the logger writes it. Lines end in CR LF, LF or a lone CR; records come back in file order. Any
// input is safe: a line that is not a record is counted, kept in errors (up to MaxKeptErrors per
// problem) and skipped.
[[nodiscard]] LogFileContents readLogFile(QByteArrayView bytes, const QLocale& locale);

// The date-time text of a line that passed recordTextOf, the way parseAnyLogRecord finds it: what stands
// before the readings.
[[nodiscard]] QStringView dateTimeOf(QStringView line);

// Calls f(lineNumber, bytes) for every line, numbered from 1; CR LF, LF and a lone CR end a line.
template <typename F> void forEachLine(QByteArrayView bytes, F f)
{
    qsizetype lineNumber = 0;
    qsizetype start = 0;
    const qsizetype size = bytes.size();
    while (start < size) {
        qsizetype end = start;
        while (end < size && bytes[end] != '\n' && bytes[end] != '\r')
            ++end;
        qsizetype next = end;
        if (next < size)
            next += bytes[next] == '\r' && next + 1 < size && bytes[next + 1] == '\n' ? 2 : 1;
        f(++lineNumber, bytes.sliced(start, end - start));
        start = next;
    }
}

} // namespace quorvel::logfile
