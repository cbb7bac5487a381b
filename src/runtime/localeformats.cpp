#include "localeformats.h"

#include <QHash>
#include <QList>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>

namespace quorvel::runtime {

QString isoWithOffset(const QDateTime& when)
{
    if (!when.isValid())
        return {};
    return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODate);
}

QString localZoneText(const QDateTime& when)
{
    const int seconds = when.offsetFromUtc();
    const int minutes = std::abs(seconds) / 60;
    return QStringLiteral("local time (UTC%1%2:%3)")
        .arg(seconds < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

std::optional<QLocale> localeNamed(const QString& name)
{
    if (name.isEmpty())
        return std::nullopt;
    QLocale locale(name);
    if (locale.language() == QLocale::C && name != QLatin1String("C") && name != QLatin1String("POSIX"))
        return std::nullopt;
    return locale;
}

namespace {

// One piece of a QDateTime format: a quoted literal (kept byte for byte), a run of one ASCII letter
// (a field such as "yy" or "t"), or any other single character.
struct Piece {
    enum Kind { Quoted, Field, Other };
    Kind kind;
    QString text;

    [[nodiscard]] bool isField(char c) const { return kind == Field && text.at(0) == QLatin1Char(c); }
    [[nodiscard]] bool isOther(char c) const { return kind == Other && text.at(0) == QLatin1Char(c); }
    [[nodiscard]] bool isBlank() const { return kind == Other && text.at(0).isSpace(); }
    // Non-ASCII letters are literal to QDateTime but read as words, like the "秒" after seconds.
    [[nodiscard]] bool isWordLetter() const { return kind == Other && text.at(0).isLetter(); }
};

bool isAsciiLetter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

QList<Piece> split(const QString& format)
{
    QList<Piece> pieces;
    const qsizetype n = format.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = format.at(i);
        if (c == QLatin1Char('\'')) {
            qsizetype j = i + 1;
            if (j < n && format.at(j) == QLatin1Char('\'')) {
                pieces.append({Piece::Quoted, format.mid(i, 2)});
                i += 2;
                continue;
            }
            while (j < n) {
                if (format.at(j) == QLatin1Char('\'')) {
                    if (j + 1 < n && format.at(j + 1) == QLatin1Char('\''))
                        j += 2;
                    else
                        break;
                } else {
                    ++j;
                }
            }
            const qsizetype end = std::min(j + 1, n);
            pieces.append({Piece::Quoted, format.mid(i, end - i)});
            i = end;
        } else if (isAsciiLetter(c)) {
            qsizetype j = i + 1;
            while (j < n && format.at(j) == c)
                ++j;
            pieces.append({Piece::Field, format.mid(i, j - i)});
            i = j;
        } else {
            pieces.append({Piece::Other, QString(c)});
            ++i;
        }
    }
    return pieces;
}

QString join(const QList<Piece>& pieces)
{
    QString out;
    for (const Piece& p : pieces)
        out += p.text;
    return out.trimmed();
}

qsizetype findField(const QList<Piece>& pieces, char c)
{
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (pieces.at(i).isField(c))
            return i;
    }
    return -1;
}

} // namespace

QString withFourDigitYear(const QString& format)
{
    QList<Piece> pieces = split(format);
    for (Piece& p : pieces) {
        if (p.isField('y'))
            p.text = QStringLiteral("yyyy");
    }
    return join(pieces);
}

QString withoutTimeZone(const QString& format)
{
    QList<Piece> pieces = split(format);
    for (qsizetype k = findField(pieces, 't'); k >= 0; k = findField(pieces, 't')) {
        qsizetype lo = k;
        qsizetype hi = k;
        // "(t)" and "[t]" go with their brackets.
        if (lo > 0 && hi + 1 < pieces.size() &&
            ((pieces.at(lo - 1).isOther('(') && pieces.at(hi + 1).isOther(')')) ||
             (pieces.at(lo - 1).isOther('[') && pieces.at(hi + 1).isOther(']')))) {
            --lo;
            ++hi;
        }
        // The separator in front of the zone (" ", ", ") goes too; a leading zone takes the blank after it.
        qsizetype before = lo;
        while (before > 0 && (pieces.at(before - 1).isBlank() || pieces.at(before - 1).isOther(',')))
            --before;
        if (before < lo) {
            lo = before;
        } else if (lo == 0) {
            while (hi + 1 < pieces.size() && pieces.at(hi + 1).isBlank())
                ++hi;
        }
        pieces.remove(lo, hi - lo + 1);
    }
    return join(pieces);
}

QString withoutSeconds(const QString& format)
{
    QList<Piece> pieces = split(format);
    for (qsizetype k = findField(pieces, 's'); k >= 0; k = findField(pieces, 's')) {
        qsizetype lo = k;
        qsizetype hi = k;
        // Fractions: "ss.zzz", "ss,zzz", "sszzz".
        if (hi + 2 < pieces.size() && (pieces.at(hi + 1).isOther('.') || pieces.at(hi + 1).isOther(',')) &&
            pieces.at(hi + 2).isField('z'))
            hi += 2;
        else if (hi + 1 < pieces.size() && pieces.at(hi + 1).isField('z'))
            ++hi;
        // A unit word after the seconds ("ss 's'", "ss秒") belongs to them.
        qsizetype after = hi;
        while (after + 1 < pieces.size() && pieces.at(after + 1).isBlank())
            ++after;
        if (after + 1 < pieces.size() &&
            (pieces.at(after + 1).kind == Piece::Quoted || pieces.at(after + 1).isWordLetter())) {
            hi = after + 1;
            while (hi + 1 < pieces.size() &&
                   (pieces.at(hi + 1).kind == Piece::Quoted || pieces.at(hi + 1).isWordLetter()))
                ++hi;
        }
        // The separator in front (":", ".", " ") goes, a word in front ("分") stays.
        while (lo > 0 && pieces.at(lo - 1).kind == Piece::Other && !pieces.at(lo - 1).isWordLetter())
            --lo;
        pieces.remove(lo, hi - lo + 1);
    }
    return join(pieces);
}

QString shortDateFormat(const QLocale& locale)
{
    return withFourDigitYear(locale.dateFormat(QLocale::ShortFormat));
}

QString longTimeFormat(const QLocale& locale)
{
    return withoutTimeZone(locale.timeFormat(QLocale::LongFormat));
}

QString shortTimeFormat(const QLocale& locale)
{
    return withoutSeconds(withoutTimeZone(locale.timeFormat(QLocale::ShortFormat)));
}

QString dateTimeText(const QDateTime& when, const QLocale& locale)
{
    return locale.toString(when, shortDateFormat(locale) + QLatin1Char(' ') + longTimeFormat(locale));
}

namespace {

bool isDirectionMark(char32_t c)
{
    return c == 0x200E || c == 0x200F || c == 0x061C;
}

// One step of reading a date-time: a number field, the AM/PM text, a month name, a literal
// character, or a run of blanks.
struct Step {
    enum Kind { Number, AmPm, MonthName, Literal, Blank };
    Kind kind;
    QChar field; // d, M, y, h, H, m or s for a Number
    int minDigits = 0;
    int maxDigits = 0;
    QChar literal;

    static Step number(QChar field, int minDigits, int maxDigits)
    {
        return {Number, field, minDigits, maxDigits, {}};
    }
    static Step of(Kind kind, QChar literal = {}) { return {kind, {}, 0, 0, literal}; }
};

// What reading needs of one locale, worked out once: the steps of its date-time format, its digits
// and its words.
struct DateTimeReading {
    QLocale locale;
    QList<Step> steps;
    char32_t zero = U'0';
    std::array<QString, 2> amPm;           // AM, PM
    QList<std::pair<QString, int>> months; // every name of a month, with its number

    explicit DateTimeReading(const QLocale& l) : locale(l)
    {
        const QString zeroText = l.zeroDigit();
        zero = zeroText.size() == 2 && zeroText.at(0).isHighSurrogate()
                   ? QChar::surrogateToUcs4(zeroText.at(0), zeroText.at(1))
                   : zeroText.at(0).unicode();
        amPm = {l.amText(), l.pmText()};
        for (int m = 1; m <= 12; ++m) {
            for (const QLocale::FormatType type : {QLocale::LongFormat, QLocale::ShortFormat}) {
                months.append({l.monthName(m, type), m});
                months.append({l.standaloneMonthName(m, type), m});
            }
        }
        // Longest first, so "June" is not read as a "Jun" followed by junk.
        std::stable_sort(months.begin(), months.end(),
                         [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });

        const auto literal = [this](QChar c) {
            if (isDirectionMark(c.unicode()))
                return;
            if (c.isSpace()) {
                if (steps.isEmpty() || steps.constLast().kind != Step::Blank)
                    steps.append(Step::of(Step::Blank));
                return;
            }
            steps.append(Step::of(Step::Literal, c));
        };
        const QList<Piece> pieces = split(shortDateFormat(l) + QLatin1Char(' ') + longTimeFormat(l));
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            const Piece& p = pieces.at(i);
            const QChar f = p.text.at(0);
            const int n = int(p.text.size());
            if (p.kind == Piece::Quoted) {
                const QString inner =
                    p.text == QLatin1String("''")
                        ? QStringLiteral("'")
                        : p.text.mid(1, p.text.size() - 2).replace(QLatin1String("''"), QLatin1String("'"));
                for (const QChar c : inner)
                    literal(c);
            } else if (p.kind == Piece::Other) {
                literal(f);
            } else if (f == QLatin1Char('y') && n == 4) {
                steps.append(Step::number(f, 4, 4));
            } else if ((f == QLatin1Char('d') || f == QLatin1Char('M') || f == QLatin1Char('h') ||
                        f == QLatin1Char('H') || f == QLatin1Char('m') || f == QLatin1Char('s')) &&
                       n <= 2) {
                steps.append(Step::number(f, n, 2));
            } else if (f == QLatin1Char('M') && n <= 4) {
                steps.append(Step::of(Step::MonthName));
            } else if (f == QLatin1Char('A') || f == QLatin1Char('a')) {
                // "AP", "ap" and a lone "A" all stand for the AM/PM text.
                if (n == 1 && i + 1 < pieces.size() && pieces.at(i + 1).kind == Piece::Field &&
                    pieces.at(i + 1).text.compare(QLatin1String("p"), Qt::CaseInsensitive) == 0)
                    ++i;
                steps.append(Step::of(Step::AmPm));
            } else {
                // Letters QDateTime does not know are written as they stand.
                for (const QChar c : p.text)
                    literal(c);
            }
        }
        while (!steps.isEmpty() && steps.constLast().kind == Step::Blank)
            steps.removeLast();
        if (!steps.isEmpty() && steps.constFirst().kind == Step::Blank)
            steps.removeFirst();
        const auto comma = [](const QString& word) { return word.contains(QLatin1Char(',')); };
        holdsComma =
            std::any_of(steps.begin(), steps.end(),
                        [](const Step& s) { return s.kind == Step::Literal && s.literal == u','; }) ||
            std::any_of(amPm.begin(), amPm.end(), comma) ||
            std::any_of(months.begin(), months.end(), [&](const auto& m) { return comma(m.first); });
    }

    bool holdsComma = false; // a date-time of the locale may have a comma in it
};

// Building a locale's steps costs far more than reading a line with them, and while the locale of a log is
// sought the candidates take turns line by line: each locale's steps are kept (Qt knows a few hundred
// locales at most).
const DateTimeReading& readingFor(const QLocale& locale)
{
    thread_local QHash<QLocale, std::shared_ptr<const DateTimeReading>> cache;
    thread_local const DateTimeReading* last = nullptr;
    if (!last || last->locale != locale) {
        std::shared_ptr<const DateTimeReading>& kept = cache[locale];
        if (!kept)
            kept = std::make_shared<const DateTimeReading>(locale);
        last = kept.get();
    }
    return *last;
}

// The locale's digit at text[pos] as 0..9, -1 for anything else; width gets its length in UTF-16 units.
int digitAt(QStringView text, qsizetype pos, char32_t zero, int& width)
{
    char32_t c = text.at(pos).unicode();
    width = 1;
    if (QChar::isHighSurrogate(c) && pos + 1 < text.size() && text.at(pos + 1).isLowSurrogate()) {
        c = QChar::surrogateToUcs4(text.at(pos), text.at(pos + 1));
        width = 2;
    }
    return c >= zero && c <= zero + 9 ? int(c - zero) : -1;
}

// Text matched at pos, letter case aside; its length, or 0.
qsizetype wordAt(QStringView text, qsizetype pos, const QString& word)
{
    if (word.isEmpty() || text.size() - pos < word.size())
        return 0;
    return text.mid(pos, word.size()).compare(word, Qt::CaseInsensitive) == 0 ? word.size() : 0;
}

} // namespace

bool dateTimeMayHoldComma(const QLocale& locale)
{
    return readingFor(locale).holdsComma;
}

std::optional<QDateTime> dateTimeFromText(QStringView text, const QLocale& locale)
{
    const DateTimeReading& reading = readingFor(locale);

    // Direction marks are dropped; most lines have none and are read where they stand.
    QString input;
    QStringView t = text;
    if (std::any_of(text.begin(), text.end(), [](QChar c) { return isDirectionMark(c.unicode()); })) {
        input.reserve(text.size());
        for (const QChar c : text) {
            if (!isDirectionMark(c.unicode()))
                input += c;
        }
        t = input;
    }
    t = t.trimmed();

    int year = 1900;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int twelveHour = -1; // the "h" field where an AM/PM text decides the half of the day
    int half = -1;       // 0 AM, 1 PM
    bool hasAmPm = false;
    qsizetype pos = 0;
    for (const Step& step : reading.steps) {
        switch (step.kind) {
        case Step::Blank: {
            const qsizetype start = pos;
            while (pos < t.size() && t.at(pos).isSpace())
                ++pos;
            if (pos == start)
                return std::nullopt;
            break;
        }
        case Step::Literal:
            if (pos >= t.size() || t.at(pos) != step.literal)
                return std::nullopt;
            ++pos;
            break;
        case Step::AmPm: {
            hasAmPm = true;
            const qsizetype am = wordAt(t, pos, reading.amPm[0]);
            const qsizetype pm = wordAt(t, pos, reading.amPm[1]);
            if (am == 0 && pm == 0)
                return std::nullopt;
            half = pm > am ? 1 : 0;
            pos += std::max(am, pm);
            break;
        }
        case Step::MonthName: {
            qsizetype length = 0;
            for (const auto& [name, number] : reading.months) {
                length = wordAt(t, pos, name);
                if (length > 0) {
                    month = number;
                    break;
                }
            }
            if (length == 0)
                return std::nullopt;
            pos += length;
            break;
        }
        case Step::Number: {
            int value = 0;
            int digits = 0;
            bool leadingZero = false;
            while (digits < step.maxDigits && pos < t.size()) {
                int width = 0;
                const int d = digitAt(t, pos, reading.zero, width);
                if (d < 0)
                    break;
                leadingZero = leadingZero || (digits == 0 && d == 0);
                value = value * 10 + d;
                pos += width;
                ++digits;
            }
            // A one-letter field is written without padding, so "03" is not what "M" writes.
            if (digits < step.minDigits || digits == 0 || (step.minDigits == 1 && digits == 2 && leadingZero))
                return std::nullopt;
            switch (step.field.unicode()) {
            case u'y':
                year = value;
                break;
            case u'M':
                month = value;
                break;
            case u'd':
                day = value;
                break;
            case u'h':
                twelveHour = value;
                break;
            case u'H':
                hour = value;
                break;
            case u'm':
                minute = value;
                break;
            default:
                second = value;
                break;
            }
            break;
        }
        }
    }
    if (pos != t.size())
        return std::nullopt;
    if (twelveHour >= 0) {
        // "h" counts 1..12 beside an AM/PM text and 0..23 without one, as QDateTime writes it.
        if (hasAmPm) {
            if (twelveHour < 1 || twelveHour > 12)
                return std::nullopt;
            hour = twelveHour % 12 + 12 * half;
        } else {
            hour = twelveHour;
        }
    }
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    const QDateTime when(date, time);
    if (!when.isValid())
        return std::nullopt;
    return when;
}

} // namespace quorvel::runtime
