#include "logfilereader.h"

#include "localefinder.h"

#include "runtime/localeformats.h"

#include <QDateTime>

#include <algorithm>
#include <variant>

namespace quorvel::logfile {

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

struct Problem {
    LineProblem kind;
    QString reason;
};

// The checks that do not depend on the locale: the line as text, or why it cannot be a record.
std::variant<QString, Problem> recordText(QByteArrayView bytes, qsizetype length,
                                          acquisition::LogLineLayout* layoutOut = nullptr)
{
    if (length == 0)
        return Problem{LineProblem::Empty, QStringLiteral("empty line")};
    if (length > LogFileContents::MaxLineBytes)
        return Problem{LineProblem::TooLong,
                       QStringLiteral("line of %1 bytes is too long for a record").arg(length)};
    if (hasControlCharacter(bytes))
        return Problem{LineProblem::ControlCharacters,
                       QStringLiteral("control characters in the line (binary data?)")};
    QString line = QString::fromLocal8Bit(bytes);
    if (line.contains(QChar::ReplacementCharacter))
        return Problem{LineProblem::NotText, QStringLiteral("the line is not text in the local code page")};
    const acquisition::LogLineLayout layout = acquisition::logLineLayout(line);
    if (layout.separators.isEmpty())
        return Problem{LineProblem::NotARecord, QStringLiteral("not a record: 0 readings")};
    const qsizetype readings = layout.trailingItems;
    if (readings > acquisition::LogRecord::MaxReadingCount)
        return Problem{LineProblem::NotARecord, QStringLiteral("not a record: %1 readings, at most %2")
                                                    .arg(readings)
                                                    .arg(acquisition::LogRecord::MaxReadingCount)};
    // The logger ends every record with the blank after its last reading; without it the write was
    // cut off and the last reading may have lost digits.
    if (!isBlank(line.back()))
        return Problem{LineProblem::Incomplete,
                       QStringLiteral("incomplete record: the line was cut off after the last reading")};
    if (layoutOut)
        *layoutOut = layout;
    return line;
}

// Why parseAnyLogRecord turned down a line that passed recordText.
Problem diagnose(QStringView line, const QLocale& locale)
{
    const QStringView dateText = dateTimeOf(line);
    if (!runtime::dateTimeFromText(dateText, locale)) {
        const QDateTime sample(QDate(2007, 3, 14), QTime(22, 5, 42));
        return {LineProblem::DateTime,
                QStringLiteral("date-time %1 is not written the %2 way (like \"%3\")")
                    .arg(quoted(dateText), localeName(locale), runtime::dateTimeText(sample, locale))};
    }
    return {
        LineProblem::Reading,
        QStringLiteral("not a record: a reading is not a number as %1 writes it").arg(localeName(locale))};
}

void addProblem(LogFileContents& contents, qsizetype line, Problem&& problem)
{
    ++contents.badLines;
    auto count = std::find_if(contents.problems.begin(), contents.problems.end(),
                              [&](const ProblemCount& c) { return c.problem == problem.kind; });
    if (count == contents.problems.end()) {
        contents.problems.append({problem.kind, 0, {line, problem.reason, problem.kind}});
        count = contents.problems.end() - 1;
    }
    if (++count->lines <= LogFileContents::MaxKeptErrors)
        contents.errors.append({line, std::move(problem.reason), problem.kind});
}

} // namespace

QStringView dateTimeOf(QStringView line)
{
    const acquisition::LogLineLayout layout = acquisition::logLineLayout(line);
    const qsizetype readings = std::max<qsizetype>(layout.trailingItems, 1);
    return line.left(layout.separators.at(layout.separators.size() - readings)).trimmed();
}

std::optional<acquisition::LogRecord> readLogLine(LogFileContents& contents, qsizetype lineNumber,
                                                  QByteArrayView line, qsizetype length,
                                                  const QLocale& locale, std::optional<QString>* textOut)
{
    contents.lines = lineNumber;
    acquisition::LogLineLayout layout;
    std::variant<QString, Problem> text = recordText(line, length, &layout);
    if (auto* problem = std::get_if<Problem>(&text)) {
        addProblem(contents, lineNumber, std::move(*problem));
        return std::nullopt;
    }
    const QString& record = std::get<QString>(text);
    std::optional<acquisition::LogRecord> parsed = acquisition::parseAnyLogRecord(record, layout, locale);
    if (!parsed)
        addProblem(contents, lineNumber, diagnose(record, locale));
    if (textOut)
        *textOut = record;
    return parsed;
}

std::optional<QString> recordTextOf(QByteArrayView line, qsizetype length)
{
    std::variant<QString, Problem> text = recordText(line, length);
    if (auto* record = std::get_if<QString>(&text))
        return std::move(*record);
    return std::nullopt;
}

LogFileContents readLogFile(QByteArrayView bytes, const QLocale& locale)
{
    LogFileContents contents;
    forEachLine(bytes, [&](qsizetype lineNumber, QByteArrayView line) {
        if (auto record = readLogLine(contents, lineNumber, line, line.size(), locale))
            contents.records.append(*std::move(record));
    });
    return contents;
}

} // namespace quorvel::logfile
