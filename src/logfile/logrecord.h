#pragma once

#include "acquisition/sensortable.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringView>

#include <QList>

#include <cstddef>
#include <optional>
#include <span>

namespace quorvel::acquisition {

// One line of the log file: the date and time of a completed sweep and one reading per sensor, slot 0
// first. Nothing else goes into the file, so a value's position in the line is its sensor's slot. The
// window program logs ReadingCount sensors; the service as many as its sensor list names.
struct LogRecord {
    static constexpr std::size_t ReadingCount = SensorCount;
    static constexpr qsizetype MaxReadingCount = 100;
    // Width of a print zone; zones start at 0-based columns 0, 14, 28, ...
    static constexpr qsizetype ZoneWidth = 14;

    QDateTime when;
    QList<float> readings = QList<float>(qsizetype(ReadingCount), 0.0f);
};

// What parseLogRecord reads back from a line.
using ParsedLogRecord = LogRecord;

// The whole line, ending in "\r\n":
//   date-time ", " reading(0) <zone> " , " reading(1) <zone> " , " ... reading(11) <zone> " , " reading(12)
// The date-time is runtime::dateTimeText. A reading is its sign position (blank for zero or positive,
// "-" for negative), runtime::singleToText of its absolute value and one trailing blank. Every other
// item follows the previous one directly. <zone> pads with blanks to the start of the next 14-column
// print zone, and "next" is strict: a reading that ends exactly on a zone start is followed by a full
// zone of blanks, so the rule is one formula, (column / 14 + 1) * 14, whatever the values. Every " , "
// therefore begins on a zone start. Columns count characters of the line before encoding. The same
// for any number of readings: the last one is never padded.
[[nodiscard]] QString composeLogRecord(const QDateTime& when, std::span<const float> readings,
                                       const QLocale& locale = QLocale());
[[nodiscard]] QString composeLogRecord(const LogRecord& record, const QLocale& locale = QLocale());

// Reads a line written by composeLogRecord in the same locale back. Any number of blanks may stand
// around the items and the line end ("\r\n", "\n" or none) is optional; everything else must be as
// written: a date-time in the locale's format, ", ", then thirteen finite numbers separated by commas
// with a blank on at least one side (so a decimal comma inside a number is never taken for one).
// Nothing for a malformed line.
[[nodiscard]] std::optional<ParsedLogRecord> parseLogRecord(QStringView line,
                                                            const QLocale& locale = QLocale());
// How a log line divides into items, whatever its locale: the separator commas (those with a blank beside
// them; a decimal comma sits between digits) and how many items at the end could be readings (none of
// them is empty or holds a blank, while the date-time in front of them has one between date and time).
struct LogLineLayout {
    QList<qsizetype> separators;
    qsizetype trailingItems = 0;

    // The item after separator index, without the blanks around it.
    [[nodiscard]] QStringView item(QStringView line, qsizetype index) const;
};
[[nodiscard]] LogLineLayout logLineLayout(QStringView line);

// The same for a line of any count of readings from 1 to MaxReadingCount. A date format with a separator
// of its own makes the count ambiguous, so the most readings that leave a date-time in front are taken.
[[nodiscard]] std::optional<ParsedLogRecord> parseAnyLogRecord(QStringView line,
                                                               const QLocale& locale = QLocale());
// The same for a line without its line end whose layout is known already.
[[nodiscard]] std::optional<ParsedLogRecord> parseAnyLogRecord(QStringView line, const LogLineLayout& layout,
                                                               const QLocale& locale);
// The readings at the end of such a line, the last first, as parseAnyLogRecord takes them. They depend on
// the locale's digits, decimal point and signs only, so a line tried in many locales is split once.
[[nodiscard]] QList<float> trailingLogReadings(QStringView line, const LogLineLayout& layout,
                                               const QLocale& locale);
// The same where every one of them is written the plain way ("23.5625"), which every locale reads alike.
[[nodiscard]] std::optional<QList<float>> plainTrailingLogReadings(QStringView line,
                                                                   const LogLineLayout& layout);
[[nodiscard]] std::optional<ParsedLogRecord> parseAnyLogRecord(QStringView line, const LogLineLayout& layout,
                                                               const QList<float>& readingsFromEnd,
                                                               const QLocale& locale);

} // namespace quorvel::acquisition
