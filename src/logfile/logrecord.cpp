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

// The readings from the last one backwards, as many as could be readings but at most maxCount, up to
// the first that is not a number.
QList<float> trailingReadings(QStringView line, const LogLineLayout& layout, qsizetype maxCount,
                              const QLocale* locale)
{
    QList<float> values;
    const qsizetype last = layout.separators.size() - 1;
    for (qsizetype index = last; index > last - std::min(layout.trailingItems, maxCount); --index) {
        const QStringView item = layout.item(line, index);
        std::optional<float> value = runtime::plainTextToSingle(item);
        if (!value && locale)
            value = runtime::textToSingle(item.toString(), *locale);
        if (!value)
            break;
        values.append(*value);
    }
    return values;
}

} // namespace

QStringView LogLineLayout::item(QStringView line, qsizetype index) const
{
    const qsizetype from = separators.at(index) + 1;
    const qsizetype to = index + 1 < separators.size() ? separators.at(index + 1) : line.size();
    return line.mid(from, to - from).trimmed();
}

LogLineLayout logLineLayout(QStringView line)
{
    LogLineLayout layout;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line.at(i) != u',')
            continue;
        const bool blankBefore = i > 0 && isBlank(line.at(i - 1));
        const bool blankAfter = i + 1 < line.size() && isBlank(line.at(i + 1));
        if (blankBefore || blankAfter)
            layout.separators.append(i);
    }
    for (qsizetype index = layout.separators.size() - 1; index >= 0; --index, ++layout.trailingItems) {
        const QStringView item = layout.item(line, index);
        if (item.isEmpty() || std::any_of(item.begin(), item.end(), [](QChar c) { return c.isSpace(); }))
            break;
    }
    return layout;
}

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
    const LogLineLayout layout = logLineLayout(*line);
    constexpr qsizetype needed = LogRecord::ReadingCount;
    const QList<float> values = trailingReadings(*line, layout, needed, &locale);
    if (values.size() < needed)
        return std::nullopt;
    return recordFrom(*line, layout.separators, layout.separators.size() - needed, values, locale);
}

std::optional<ParsedLogRecord> parseAnyLogRecord(QStringView text, const QLocale& locale)
{
    const std::optional<QStringView> line = withoutLineEnd(text);
    if (!line)
        return std::nullopt;
    return parseAnyLogRecord(*line, logLineLayout(*line), locale);
}

std::optional<ParsedLogRecord> parseAnyLogRecord(QStringView line, const LogLineLayout& layout,
                                                 const QLocale& locale)
{
    return parseAnyLogRecord(line, layout, trailingLogReadings(line, layout, locale), locale);
}

QList<float> trailingLogReadings(QStringView line, const LogLineLayout& layout, const QLocale& locale)
{
    return trailingReadings(line, layout, LogRecord::MaxReadingCount, &locale);
}

std::optional<QList<float>> plainTrailingLogReadings(QStringView line, const LogLineLayout& layout)
{
    QList<float> values = trailingReadings(line, layout, LogRecord::MaxReadingCount, nullptr);
    if (values.size() < std::min(layout.trailingItems, LogRecord::MaxReadingCount))
        return std::nullopt;
    return values;
}

std::optional<ParsedLogRecord> parseAnyLogRecord(QStringView line, const LogLineLayout& layout,
                                                 const QList<float>& values, const QLocale& locale)
{
    // The item in front of the readings must be the date-time; with a comma in the date, fewer readings
    // leave more of it there. Without one, more of it would hold a separator: one try is enough.
    const qsizetype least = runtime::dateTimeMayHoldComma(locale) ? 1 : values.size();
    for (qsizetype count = values.size(); count >= std::max<qsizetype>(least, 1); --count) {
        if (auto record =
                recordFrom(line, layout.separators, layout.separators.size() - count, values, locale))
            return record;
    }
    return std::nullopt;
}

} // namespace quorvel::acquisition
