#include "localeformats.h"

#include <QList>

namespace quorvel::runtime {

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

} // namespace quorvel::runtime
