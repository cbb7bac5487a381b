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

} // namespace

QString composeLogRecord(const QDateTime& when, const std::array<float, LogRecord::ReadingCount>& readings,
                         const QLocale& locale)
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
    return composeLogRecord(record.when, record.readings, locale);
}

std::optional<ParsedLogRecord> parseLogRecord(QStringView line, const QLocale& locale)
{
    if (line.endsWith(u"\r\n"))
        line.chop(2);
    else if (line.endsWith(u'\n'))
        line.chop(1);
    if (line.contains(u'\r') || line.contains(u'\n'))
        return std::nullopt;

    // A separator comma has a blank beside it; a decimal comma sits between digits.
    QList<qsizetype> separators;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line.at(i) != u',')
            continue;
        const bool blankBefore = i > 0 && isBlank(line.at(i - 1));
        const bool blankAfter = i + 1 < line.size() && isBlank(line.at(i + 1));
        if (blankBefore || blankAfter)
            separators.append(i);
    }
    constexpr qsizetype needed = LogRecord::ReadingCount;
    if (separators.size() < needed)
        return std::nullopt;
    // Counted from the end, so a date format with a comma of its own still parses.
    const QList<qsizetype> used = separators.mid(separators.size() - needed);

    ParsedLogRecord record;
    const std::optional<QDateTime> when = runtime::dateTimeFromText(line.left(used.first()), locale);
    if (!when)
        return std::nullopt;
    record.when = *when;

    for (qsizetype slot = 0; slot < needed; ++slot) {
        const qsizetype from = used.at(slot) + 1;
        const qsizetype to = slot + 1 < needed ? used.at(slot + 1) : line.size();
        const QStringView text = line.mid(from, to - from).trimmed();
        if (text.isEmpty() || std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSpace(); }))
            return std::nullopt;
        const std::optional<float> value = runtime::textToSingle(text.toString(), locale);
        if (!value)
            return std::nullopt;
        record.readings[static_cast<std::size_t>(slot)] = *value;
    }
    return record;
}

} // namespace quorvel::acquisition
