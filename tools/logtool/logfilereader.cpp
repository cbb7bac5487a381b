#include "logfilereader.h"

#include "runtime/localeformats.h"

#include <QDateTime>

namespace quorvel::logtool {

namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

bool hasControlCharacter(QByteArrayView line)
{
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7f)
            return true;
    }
    return false;
}

QString quoted(QStringView text)
{
    constexpr qsizetype shown = 40;
    if (text.size() <= shown)
        return QLatin1Char('"') + text.toString() + QLatin1Char('"');
    return QLatin1Char('"') + text.left(shown).toString() + QStringLiteral("...\"");
}

// Why parseLogRecord turned the line down, found the way it reads a line: the date-time is what
// stands before the thirteenth separator counted from the end.
QString diagnose(QStringView line, const QLocale& locale)
{
    QList<qsizetype> separators;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line.at(i) != u',')
            continue;
        if ((i > 0 && isBlank(line.at(i - 1))) || (i + 1 < line.size() && isBlank(line.at(i + 1))))
            separators.append(i);
    }
    const qsizetype needed = acquisition::LogRecord::ReadingCount;
    if (separators.size() < needed)
        return QStringLiteral("not a record: %1 readings, 13 expected").arg(separators.size());
    const QStringView dateText = line.left(separators.at(separators.size() - needed)).trimmed();
    const QString format =
        runtime::shortDateFormat(locale) + QLatin1Char(' ') + runtime::longTimeFormat(locale);
    if (!locale.toDateTime(dateText.toString(), format).isValid() &&
        !locale.toDateTime(dateText.toString().simplified(), format).isValid()) {
        const QDateTime sample(QDate(2007, 3, 14), QTime(22, 5, 42));
        return QStringLiteral("date-time %1 is not written the %2 way (like \"%3\")")
            .arg(quoted(dateText), locale.name(), runtime::dateTimeText(sample, locale));
    }
    return QStringLiteral("not a record: a reading is not a number as %1 writes it").arg(locale.name());
}

std::optional<QString> problemWith(QByteArrayView bytes, const QLocale& locale,
                                   acquisition::LogRecord& record)
{
    if (bytes.isEmpty())
        return QStringLiteral("empty line");
    if (bytes.size() > LogFileContents::MaxLineBytes)
        return QStringLiteral("line of %1 bytes is too long for a record").arg(bytes.size());
    if (hasControlCharacter(bytes))
        return QStringLiteral("control characters in the line (binary data?)");
    const QString line = QString::fromLocal8Bit(bytes);
    if (line.contains(QChar::ReplacementCharacter))
        return QStringLiteral("the line is not text in the local code page");
    const std::optional<acquisition::ParsedLogRecord> parsed = acquisition::parseLogRecord(line, locale);
    if (!parsed)
        return diagnose(line, locale);
    // The logger ends every record with the blank after its last reading; without it the write was
    // cut off and the last reading may have lost digits.
    if (!isBlank(line.back()))
        return QStringLiteral("incomplete record: the line was cut off after the last reading");
    record = *parsed;
    return std::nullopt;
}

} // namespace

LogFileContents readLogFile(QByteArrayView bytes, const QLocale& locale)
{
    LogFileContents contents;
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
        ++lineNumber;

        acquisition::LogRecord record;
        if (std::optional<QString> problem = problemWith(bytes.sliced(start, end - start), locale, record)) {
            ++contents.badLines;
            if (contents.errors.size() < LogFileContents::MaxKeptErrors)
                contents.errors.append({lineNumber, *std::move(problem)});
        } else {
            contents.records.append(record);
        }
        start = next;
    }
    return contents;
}

} // namespace quorvel::logtool
