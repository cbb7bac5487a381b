#pragma once

#include "acquisition/logrecord.h"

#include <QByteArrayView>
#include <QList>
#include <QLocale>
#include <QString>

namespace quorvel::logtool {

// A line of a log file that is not a record.
struct LineError {
    qsizetype line = 0; // 1-based
    QString reason;
};

struct LogFileContents {
    // Only the first bad lines are kept with their reasons, so junk input cannot exhaust memory;
    // badLines counts them all.
    static constexpr qsizetype MaxKeptErrors = 100;
    // A record is about 200 characters; anything far longer is not one and is not parsed at all.
    static constexpr qsizetype MaxLineBytes = 4096;

    QList<acquisition::LogRecord> records;
    QList<LineError> errors;
    qsizetype badLines = 0;
};

// Reads the bytes of a whole log file written in the given locale, in the local 8-bit code page as
// the logger writes it. Lines end in CR LF, LF or a lone CR; records come back in file order. Any
// input is safe: a line that is not a record is counted, kept in errors (up to MaxKeptErrors) and
// skipped.
[[nodiscard]] LogFileContents readLogFile(QByteArrayView bytes, const QLocale& locale);

} // namespace quorvel::logtool
