#include "logrecord.h"

#include "runtime/conversions.h"
#include "runtime/localeformats.h"

#include <QList>

#include <algorithm>
#include <cmath>

namespace quorvel::acquisition {

namespace {

QString readingItem(float value, const QLocale& locale)
{
    const QChar sign = value < 0.0f ? QLatin1Char('-') : QLatin1Char(' ');
    return sign + runtime::singleToText(std::fabs(value), locale) + QLatin1Char(' ');
}

void padToNextZone(QString& line)
{
    const qsizetype next = (line.size() / LogRecord::ZoneWidth + 1) * LogRecord::ZoneWidth;
    line += QString(next - line.size(), QLatin1Char(' '));
}

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

// The commas between items: a separator comma has a blank beside it; a decimal comma sits between digits.
QList<qsizetype> separatorsOf(QStringView line)
{
    QList<qsizetype> separators;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line.at(i) != u',')
            continue;
        const bool blankBefore = i > 0 && isBlank(line.at(i - 1));
        const bool blankAfter = i + 1 < line.size() && isBlank(line.at(i + 1));
        if (blankBefore || blankAfter)
            separators.append(i);
    }
    return separators;
}

// The line without its line end, or nothing when a line break stands inside it.
std::optional<QStringView> withoutLineEnd(QStringView line)
{
    if (line.endsWith(u"\r\n"))
        line.chop(2);
    else if (line.endsWith(u'\n'))
        line.chop(1);
    if (line.contains(u'\r') || line.contains(u'\n'))
        return std::nullopt;
    return line;
}

std::optional<float> readingAt(QStringView line, const QList<qsizetype>& separators, qsizetype index,
                               const QLocale& locale)
{
    const qsizetype from = separators.at(index) + 1;
    const qsizetype to = index + 1 < separators.size() ? separators.at(index + 1) : line.size();
    const QStringView text = line.mid(from, to - from).trimmed();
    if (text.isEmpty() || std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSpace(); }))
        return std::nullopt;
    return runtime::textToSingle(text.toString(), locale);
}

// The record whose readings follow the separator at index first; counted from the end, so a date format
// with a comma of its own still parses.
std::optional<ParsedLogRecord> recordFrom(QStringView line, const QList<qsizetype>& separators,
                                          qsizetype first, const QList<float>& readingsFromEnd,
                                          const QLocale& locale)
{
    const std::optional<QDateTime> when = runtime::dateTimeFromText(line.left(separators.at(first)), locale);
    if (!when)
        return std::nullopt;
    ParsedLogRecord record;
    record.when = *when;
    const qsizetype count = separators.size() - first;
    record.readings =
        QList<float>(readingsFromEnd.crbegin() + (readingsFromEnd.size() - count), readingsFromEnd.crend());
    return record;
}

// Parses the readings from the last one backwards, at most maxCount, and stops at the first that is not
// a number.
QList<float> trailingReadings(QStringView line, const QList<qsizetype>& separators, qsizetype maxCount,
                              const QLocale& locale)
{
    QList<float> values;
    for (qsizetype index = separators.size() - 1; index >= 0 && values.size() < maxCount; --index) {
        const std::optional<float> value = readingAt(line, separators, index, locale);
        if (!value)
            break;
        values.append(*value);
    }
    return values;
}

} // namespace

QString composeLogRecord(const QDateTime& when, std::span<const float> readings, const QLocale& locale)
{
    QString line = runtime::dateTimeText(when, locale) + QStringLiteral(", ");
    for (std::size_t slot = 0; slot < readings.size(); ++slot) {
        line += readingItem(readings[slot], locale);
        if (slot + 1 < readings.size()) {
            padToNextZone(line);
            line += QStringLiteral(" , ");
        }
    }
    return line + QStringLiteral("\r\n");
}

QString composeLogRecord(const LogRecord& record, const QLocale& locale)
{
    return composeLogRecord(
        record.when, std::span<const float>(record.readings.constData(), std::size_t(record.readings.size())),
        locale);
}

std::optional<ParsedLogRecord> parseLogRecord(QStringView text, const QLocale& locale)
{
    const std::optional<QStringView> line = withoutLineEnd(text);
    if (!line)
        return std::nullopt;
    const QList<qsizetype> separators = separatorsOf(*line);
    constexpr qsizetype needed = LogRecord::ReadingCount;
    if (separators.size() < needed)
        return std::nullopt;
    const QList<float> values = trailingReadings(*line, separators, needed, locale);
    if (values.size() < needed)
        return std::nullopt;
    return recordFrom(*line, separators, separators.size() - needed, values, locale);
}

std::optional<ParsedLogRecord> parseAnyLogRecord(QStringView text, const QLocale& locale)
{
    const std::optional<QStringView> line = withoutLineEnd(text);
    if (!line)
        return std::nullopt;
    const QList<qsizetype> separators = separatorsOf(*line);
    const QList<float> values = trailingReadings(*line, separators, LogRecord::MaxReadingCount, locale);
    // The item in front of the readings must be the date-time; with a comma in the date, fewer readings
    // leave more of it there.
    for (qsizetype count = values.size(); count >= 1; --count) {
        if (auto record = recordFrom(*line, separators, separators.size() - count, values, locale))
            return record;
    }
    return std::nullopt;
}

} // namespace quorvel::acquisition
