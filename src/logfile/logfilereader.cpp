#include "logfilereader.h"

#include "runtime/localeformats.h"

#include <QDateTime>
#include <QHash>
#include <QRegularExpression>

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

// The date-time of a line, the way parseAnyLogRecord finds it: what stands before the readings.
QStringView dateTimeOf(QStringView line)
{
    const acquisition::LogLineLayout layout = acquisition::logLineLayout(line);
    const qsizetype readings = std::max<qsizetype>(layout.trailingItems, 1);
    return line.left(layout.separators.at(layout.separators.size() - readings)).trimmed();
}

// The checks that do not depend on the locale: the line as text, or why it cannot be a record.
std::variant<QString, Problem> recordText(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return Problem{LineProblem::Empty, QStringLiteral("empty line")};
    if (bytes.size() > LogFileContents::MaxLineBytes)
        return Problem{LineProblem::TooLong,
                       QStringLiteral("line of %1 bytes is too long for a record").arg(bytes.size())};
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

// Calls f(lineNumber, bytes) for every line; CR LF, LF and a lone CR end a line.
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

bool sameRecord(const std::optional<acquisition::LogRecord>& a,
                const std::optional<acquisition::LogRecord>& b)
{
    if (!a || !b)
        return a.has_value() == b.has_value();
    // Date and time rather than the instant, which would ask the time zone for every line.
    return a->when.date() == b->when.date() && a->when.time() == b->when.time() && a->readings == b->readings;
}

bool sameLocale(const QLocale& a, const QLocale& b)
{
    return a.language() == b.language() && a.script() == b.script() && a.territory() == b.territory();
}

// What reading a record depends on: two locales with the same key read every line alike.
QString formatsKey(const QLocale& locale)
{
    static const QRegularExpression quotedText(QStringLiteral("'[^']*'"));
    const QString date = runtime::shortDateFormat(locale);
    const QString time = runtime::longTimeFormat(locale);
    // No group separator: the logger writes none and the reader rejects them.
    QString key =
        date + QLatin1Char('\n') + time + QLatin1Char('\n') + locale.zeroDigit() + locale.decimalPoint();
    const QString fields = QString(date + time).remove(quotedText);
    if (fields.contains(QLatin1Char('A')) || fields.contains(QLatin1Char('a')))
        key += QLatin1Char('\n') + locale.amText() + QLatin1Char('\n') + locale.pmText();
    if (fields.contains(QLatin1String("MMM"))) {
        for (int m = 1; m <= 12; ++m)
            key += QLatin1Char('\n') + locale.monthName(m, QLocale::ShortFormat);
    }
    return key;
}

struct LocaleGroups {
    QList<QList<QLocale>> groups; // locales that read alike, in Qt's order
    QList<QString> keys;
    QHash<QLocale::Language, qsizetype> perLanguage; // how many locales each language has
};

const LocaleGroups& localeGroups()
{
    static const LocaleGroups all = [] {
        LocaleGroups g;
        QHash<QString, qsizetype> index;
        for (const QLocale& l :
             QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory)) {
            ++g.perLanguage[l.language()];
            const QString key = formatsKey(l);
            const auto found = index.constFind(key);
            if (found != index.constEnd()) {
                g.groups[*found].append(l);
                continue;
            }
            index.insert(key, g.groups.size());
            g.groups.append({l});
            g.keys.append(key);
        }
        return g;
    }();
    return all;
}

struct RecordLine {
    qsizetype file;
    qsizetype line;
    QString text;
};

using Records = QList<std::optional<acquisition::LogRecord>>;

// What the locale reads of each line and how many it reads; nothing as soon as more than
// maxFailures lines fail.
std::optional<std::pair<Records, qsizetype>> readLines(const QList<RecordLine>& lines, const QLocale& locale,
                                                       qsizetype maxFailures)
{
    Records records;
    records.reserve(lines.size());
    qsizetype failures = 0;
    for (const RecordLine& l : lines) {
        records.append(acquisition::parseAnyLogRecord(l.text, locale));
        if (!records.constLast() && ++failures > maxFailures)
            return std::nullopt;
    }
    return std::pair(std::move(records), lines.size() - failures);
}

// The locales that read alike, best first: one that writes the first record as the very line it
// came from, the user's own or one of the user's language, the main locale of its language (or of its
// script), one of a widely spread language.
QList<QLocale> ranked(QList<QLocale> locales, const RecordLine& first, const QLocale& given)
{
    const LocaleGroups& all = localeGroups();
    const auto score = [&](const QLocale& l) {
        const std::optional<acquisition::LogRecord> record = acquisition::parseAnyLogRecord(first.text, l);
        const bool writesTheLine =
            record && acquisition::composeLogRecord(*record, l).chopped(2) == first.text;
        return std::tuple(writesTheLine, sameLocale(l, given), l.language() == given.language(),
                          sameLocale(l, QLocale(l.language())),
                          sameLocale(l, QLocale(l.language(), l.script(), QLocale::AnyTerritory)),
                          all.perLanguage.value(l.language()));
    };
    QList<std::pair<decltype(score(given)), QLocale>> scored;
    for (const QLocale& l : locales)
        scored.append({score(l), l});
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    locales.clear();
    for (const auto& s : scored)
        locales.append(s.second);
    return locales;
}

} // namespace

QString localeName(const QLocale& locale)
{
    const QString name = locale.name();
    if (sameLocale(QLocale(name), locale))
        return name;
    return QLocale::languageToCode(locale.language()) + QLatin1Char('_') +
           QLocale::scriptToCode(locale.script()) + QLatin1Char('_') +
           QLocale::territoryToCode(locale.territory());
}

LogFileContents readLogFile(QByteArrayView bytes, const QLocale& locale)
{
    LogFileContents contents;
    forEachLine(bytes, [&](qsizetype lineNumber, QByteArrayView line) {
        contents.lines = lineNumber;
        std::variant<QString, Problem> text = recordText(line);
        if (auto* problem = std::get_if<Problem>(&text))
            return addProblem(contents, lineNumber, std::move(*problem));
        const QString& record = std::get<QString>(text);
        if (const auto parsed = acquisition::parseAnyLogRecord(record, locale))
            contents.records.append(*parsed);
        else
            addProblem(contents, lineNumber, diagnose(record, locale));
    });
    return contents;
}

LocaleChoice findLogLocale(const QList<QByteArrayView>& files, const QLocale& given)
{
    LocaleChoice choice;
    choice.locale = given;
    QList<RecordLine> lines;
    for (qsizetype f = 0; f < files.size(); ++f) {
        forEachLine(files.at(f), [&](qsizetype lineNumber, QByteArrayView line) {
            std::variant<QString, Problem> text = recordText(line);
            if (auto* record = std::get_if<QString>(&text))
                lines.append({f, lineNumber, std::move(*record)});
        });
    }
    const qsizetype givenReads = readLines(lines, given, lines.size())->second;
    if (givenReads == lines.size())
        return choice;

    // The first line some locale reads; junk before it says nothing about the locale.
    const LocaleGroups& all = localeGroups();
    const QString givenKey = formatsKey(given);
    QList<qsizetype> candidates;
    qsizetype first = 0;
    constexpr qsizetype searched = 1000;
    for (; first < std::min(lines.size(), searched) && candidates.isEmpty(); ++first) {
        for (qsizetype g = 0; g < all.groups.size(); ++g) {
            if (all.keys.at(g) != givenKey &&
                acquisition::parseAnyLogRecord(lines.at(first).text, all.groups.at(g).first()))
                candidates.append(g);
        }
    }
    if (candidates.isEmpty())
        return choice;
    --first;

    // The groups that read the most lines, those reading every line alike joined as one way of
    // reading the log.
    struct Way {
        QList<QLocale> locales;
        Records records;
    };
    // The likeliest first, judged on the next lines, so the others soon fail more often than it.
    const QList<RecordLine> sample = lines.mid(first, 100);
    QList<std::pair<qsizetype, qsizetype>> order; // lines of the sample read, group
    for (const qsizetype g : candidates)
        order.append({readLines(sample, all.groups.at(g).first(), sample.size())->second, g});
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });

    QList<Way> ways;
    qsizetype best = givenReads;
    for (const auto& [sampleReads, g] : order) {
        auto read = readLines(lines, all.groups.at(g).first(), lines.size() - best);
        if (!read || read->second == givenReads)
            continue;
        if (read->second > best) {
            best = read->second;
            ways.clear();
        }
        auto same = std::find_if(ways.begin(), ways.end(), [&](const Way& w) {
            return std::equal(w.records.begin(), w.records.end(), read->first.begin(), read->first.end(),
                              sameRecord);
        });
        if (same == ways.end())
            ways.append({all.groups.at(g), std::move(read->first)});
        else
            same->locales += all.groups.at(g);
    }
    if (ways.isEmpty())
        return choice;
    for (Way& w : ways)
        w.locales = ranked(w.locales, lines.at(first), given);
    if (ways.size() == 1) {
        choice.outcome = LocaleChoice::Found;
        choice.locale = ways.first().locales.first();
        return choice;
    }

    qsizetype differs = 0;
    while (std::all_of(ways.begin(), ways.end(), [&](const Way& w) {
        return sameRecord(w.records.at(differs), ways.first().records.at(differs));
    }))
        ++differs;
    choice.outcome = LocaleChoice::Ambiguous;
    const RecordLine& at = lines.at(differs);
    for (const Way& w : ways) {
        const std::optional<acquisition::LogRecord>& r = w.records.at(differs);
        choice.readings.append(
            {w.locales, at.file, at.line, dateTimeOf(at.text).toString(), r ? r->when : QDateTime()});
    }
    return choice;
}

} // namespace quorvel::logfile
