#include "localefinder.h"

#include "logfilereader.h"

#include "runtime/localeformats.h"

#include <QDateTime>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>

namespace quorvel::logfile {

namespace {

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

// What reading a number depends on.
QString numbersKey(const QLocale& locale)
{
    return locale.zeroDigit() + locale.decimalPoint() + locale.negativeSign() + locale.positiveSign() +
           locale.exponential() + locale.groupSeparator();
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
    QList<QString> numberKeys;                       // numbersKey() of each group's first locale
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
            g.numberKeys.append(numbersKey(l));
        }
        return g;
    }();
    return all;
}

// The locales that read alike, best first: one that writes the first record as the very line it
// came from, the user's own or one of the user's language, the main locale of its language (or of its
// script), one of a widely spread language.
QList<QLocale> ranked(QList<QLocale> locales, const QString& first, const QLocale& given)
{
    const LocaleGroups& all = localeGroups();
    const auto score = [&](const QLocale& l) {
        const std::optional<acquisition::LogRecord> record = acquisition::parseAnyLogRecord(first, l);
        const bool writesTheLine = record && acquisition::composeLogRecord(*record, l).chopped(2) == first;
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

using Reading = std::optional<acquisition::LogRecord>;

// A line as the locales to choose from read it: the candidates differ mostly in the date alone, so the
// line is split once, and its readings read once for every way of writing numbers.
struct SplitLine {
    explicit SplitLine(const QString& line) : text(line), layout(acquisition::logLineLayout(line)) {}

    const QString& text;
    acquisition::LogLineLayout layout;
    std::optional<std::optional<QList<float>>> plain; // the readings, where written the plain way
    QHash<QString, QList<float>> readings;            // otherwise by numbersKey()

    Reading read(const QLocale& locale, const QString& numbers)
    {
        if (!plain)
            plain = acquisition::plainTrailingLogReadings(text, layout);
        if (*plain)
            return acquisition::parseAnyLogRecord(text, layout, **plain, locale);
        auto values = readings.constFind(numbers);
        if (values == readings.constEnd())
            values = readings.insert(numbers, acquisition::trailingLogReadings(text, layout, locale));
        return acquisition::parseAnyLogRecord(text, layout, *values, locale);
    }
};

// Where a line of the input is, for the message that lists the ways of reading it; its date-time is
// filled in only for the few lines kept.
struct LinePlace {
    qsizetype file = 0;
    qsizetype line = 0;
    QString dateTime;
};

} // namespace

bool readAlike(const QLocale& a, const QLocale& b)
{
    return formatsKey(a) == formatsKey(b);
}

QString localeName(const QLocale& locale)
{
    const QString name = locale.name();
    if (sameLocale(QLocale(name), locale))
        return name;
    return QLocale::languageToCode(locale.language()) + QLatin1Char('_') +
           QLocale::scriptToCode(locale.script()) + QLatin1Char('_') +
           QLocale::territoryToCode(locale.territory());
}

// The rule, one line at a time: the given locale is kept when it reads every line. Otherwise the
// candidates are the groups of locales that read the first line some group reads (within the first
// SearchedLines); the groups reading the most lines, more than the given locale, win, those reading every
// line alike joined as one way of reading. Ways are listed in the order of how many of the first
// OrderLines lines from that first line each reads.
struct LocaleFinder::State {
    static constexpr qsizetype SearchedLines = 1000;
    static constexpr qsizetype OrderLines = 100;

    struct Candidate {
        qsizetype group = 0;
        qsizetype reads = 0;
        qsizetype orderReads = 0;
        qsizetype way = 0;
        // Lines the chosen locale could not read after the sample, read by this one.
        qsizetype laterReads = 0;
        // Where this candidate parted from others it read alike until then, and what it read there.
        QList<std::pair<qsizetype, Reading>> partings;
    };

    QLocale given;
    QString givenKey;
    QString givenNumbers; // numbersKey(given)
    qsizetype sample = 0;
    qsizetype lines = 0;
    qsizetype givenReads = 0;
    qsizetype givenLaterReads = 0;
    bool searched = false; // the candidates are known, or none will be
    qsizetype first = -1;  // index of the line the candidates were chosen on
    QString firstText;
    QList<std::pair<LinePlace, QString>> kept; // lines before the candidates are known
    QList<Candidate> candidates;
    QHash<qsizetype, LinePlace> partingLines;
    // After the sample: the chosen way and its candidates.
    struct Watch {
        QLocale locale;
        qsizetype reads = 0; // in the sample
        qsizetype laterFails = 0;
        bool sameWay = false; // read the sample as the chosen way did
        bool parted = false;  // and then read a line otherwise
        bool strict = false;  // the chosen one is the given locale, which keeps a tie
        bool reading = false; // may change the answer: read at each hour
    };
    QList<Watch> watches;
    qsizetype chosenLaterFails = 0;
    qsizetype doubts = 0; // watches that may change the answer

    bool threat(const Watch& w) const
    {
        if (w.sameWay && !w.parted)
            return false;
        const qsizetype balance = (w.reads - w.laterFails) - (chosenReads - chosenLaterFails);
        return w.strict ? balance > 0 : balance >= 0;
    }

    void watch()
    {
        const LocaleGroups& all = localeGroups();
        const bool givenChosen = chosenWay < 0;
        if (!givenChosen)
            watches.append({given, givenReads, 0, false, false, false, false});
        QLocale chosenLocale = decided.locale;
        for (const Candidate& c : candidates) {
            const bool sameWay = !givenChosen && c.way == chosenWay && c.reads == chosenReads;
            // The chosen locale's own group reads as it does.
            if (sameWay && formatsKey(chosenLocale) == all.keys.at(c.group))
                continue;
            watches.append({all.groups.at(c.group).first(), c.reads, 0, sameWay, false, givenChosen, false});
        }
    }
    bool chosen = false;
    LocaleChoice decided;
    qsizetype chosenWay = -1;
    qsizetype chosenReads = 0;

    void evaluate(qsizetype index, const LinePlace& place, SplitLine& line)
    {
        const QString& text = line.text;
        const LocaleGroups& all = localeGroups();
        QList<Reading> read(candidates.size());
        for (qsizetype c = 0; c < candidates.size(); ++c) {
            Candidate& cand = candidates[c];
            read[c] = line.read(all.groups.at(cand.group).first(), all.numberKeys.at(cand.group));
            if (read[c]) {
                ++cand.reads;
                if (index >= first && index < first + OrderLines)
                    ++cand.orderReads;
            }
        }
        // Split every way whose candidates read this line differently.
        QHash<qsizetype, QList<qsizetype>> byWay;
        for (qsizetype c = 0; c < candidates.size(); ++c)
            byWay[candidates.at(c).way].append(c);
        qsizetype nextWay = 0;
        for (const Candidate& c : candidates)
            nextWay = std::max(nextWay, c.way + 1);
        for (const QList<qsizetype>& members : std::as_const(byWay)) {
            if (members.size() < 2)
                continue;
            QList<qsizetype> heads; // the first candidate of each new way
            for (const qsizetype c : members) {
                auto head = std::find_if(heads.begin(), heads.end(),
                                         [&](qsizetype h) { return sameRecord(read.at(h), read.at(c)); });
                if (head == heads.end()) {
                    heads.append(c);
                    continue;
                }
                candidates[c].way = candidates.at(*head).way;
            }
            if (heads.size() < 2)
                continue;
            for (qsizetype h = 1; h < heads.size(); ++h) {
                const qsizetype oldWay = candidates.at(heads.at(h)).way;
                for (const qsizetype c : members) {
                    if (candidates.at(c).way == oldWay && sameRecord(read.at(c), read.at(heads.at(h))))
                        candidates[c].way = nextWay;
                }
                ++nextWay;
            }
            for (const qsizetype c : members)
                candidates[c].partings.append({index, read.at(c)});
            partingLines.insert(index, {place.file, place.line, dateTimeOf(text).toString()});
        }
    }

    void search(const LinePlace& place, const QString& text)
    {
        kept.append({place, text});
        const qsizetype index = lines - 1;
        if (index >= SearchedLines) {
            searched = true;
            kept.clear();
            return;
        }
        const LocaleGroups& all = localeGroups();
        for (qsizetype g = 0; g < all.groups.size(); ++g) {
            if (all.keys.at(g) != givenKey && acquisition::parseAnyLogRecord(text, all.groups.at(g).first()))
                candidates.append({g, 0, 0, 0, 0, {}});
        }
        if (candidates.isEmpty())
            return;
        searched = true;
        first = index;
        firstText = text;
        const QList<std::pair<LinePlace, QString>> earlier = std::exchange(kept, {});
        for (qsizetype i = 0; i < earlier.size(); ++i) {
            SplitLine line{earlier.at(i).second};
            evaluate(i, earlier.at(i).first, line);
        }
    }

    // The candidates in the order their ways are listed.
    QList<qsizetype> order() const
    {
        QList<qsizetype> o;
        for (qsizetype c = 0; c < candidates.size(); ++c)
            o.append(c);
        std::stable_sort(o.begin(), o.end(), [&](qsizetype a, qsizetype b) {
            return candidates.at(a).orderReads > candidates.at(b).orderReads;
        });
        return o;
    }

    struct Way {
        QList<qsizetype> members; // candidates, in order()
        QList<QLocale> locales;
    };

    // The ways that read the most lines, more than the given locale; their reads.
    std::pair<QList<Way>, qsizetype> leaders() const
    {
        qsizetype best = givenReads;
        for (const Candidate& c : candidates)
            best = std::max(best, c.reads);
        QList<Way> ways;
        if (best == givenReads)
            return {ways, best};
        const LocaleGroups& all = localeGroups();
        QList<qsizetype> wayIds;
        for (const qsizetype c : order()) {
            if (candidates.at(c).reads != best)
                continue;
            const qsizetype at = wayIds.indexOf(candidates.at(c).way);
            if (at < 0) {
                wayIds.append(candidates.at(c).way);
                ways.append({{c}, all.groups.at(candidates.at(c).group)});
            } else {
                ways[at].members.append(c);
                ways[at].locales += all.groups.at(candidates.at(c).group);
            }
        }
        return {ways, best};
    }

    LocaleChoice choose() const
    {
        LocaleChoice choice;
        choice.locale = given;
        if (givenReads == lines)
            return choice;
        auto [ways, best] = leaders();
        if (ways.isEmpty())
            return choice;
        for (Way& w : ways)
            w.locales = ranked(w.locales, firstText, given);
        if (ways.size() == 1) {
            choice.outcome = LocaleChoice::Found;
            choice.locale = ways.first().locales.first();
            return choice;
        }
        // The first line where the ways part: where their first candidates parted from each other.
        qsizetype differs = -1;
        for (qsizetype a = 0; a < ways.size(); ++a) {
            for (qsizetype b = a + 1; b < ways.size(); ++b) {
                const auto& pa = candidates.at(ways.at(a).members.first()).partings;
                const auto& pb = candidates.at(ways.at(b).members.first()).partings;
                for (const auto& parting : pa) {
                    const qsizetype line = parting.first;
                    const auto other =
                        std::find_if(pb.begin(), pb.end(), [&](const auto& p) { return p.first == line; });
                    if (other != pb.end() && !sameRecord(parting.second, other->second)) {
                        if (differs < 0 || line < differs)
                            differs = line;
                        break;
                    }
                }
            }
        }
        choice.outcome = LocaleChoice::Ambiguous;
        const LinePlace at = partingLines.value(differs);
        for (const Way& w : ways) {
            const auto& partings = candidates.at(w.members.first()).partings;
            const auto there = std::find_if(partings.begin(), partings.end(),
                                            [&](const auto& p) { return p.first == differs; });
            const Reading r = there != partings.end() ? there->second : Reading();
            choice.readings.append({w.locales, at.file, at.line, at.dateTime, r ? r->when : QDateTime()});
        }
        return choice;
    }
};

LocaleFinder::LocaleFinder(const QLocale& given, qsizetype sample) : d_(std::make_unique<State>())
{
    d_->given = given;
    d_->givenKey = formatsKey(given);
    d_->givenNumbers = numbersKey(given);
    d_->sample = sample;
}

LocaleFinder::~LocaleFinder() = default;

void LocaleFinder::add(qsizetype file, qsizetype line, const QString& text)
{
    State& d = *d_;
    ++d.lines;
    SplitLine split{text};
    if (split.read(d.given, d.givenNumbers))
        ++d.givenReads;
    const LinePlace place{file, line, {}};
    if (!d.searched)
        d.search(place, text);
    else
        d.evaluate(d.lines - 1, place, split);
}

bool LocaleFinder::settled() const
{
    const State& d = *d_;
    // The order of the ways that OrderLines decide matters only where several read the most, and then
    // the sample goes on until they part, or every line has decided.
    if (d.sample <= 0 || !d.searched || d.lines < d.sample)
        return false;
    if (d.givenReads == d.lines)
        return true;
    return d.leaders().first.size() <= 1;
}

LocaleChoice LocaleFinder::choice() const
{
    State& d = *d_;
    d.decided = d.choose();
    d.chosen = true;
    d.chosenWay = -1;
    d.chosenReads = d.givenReads;
    if (d.decided.outcome == LocaleChoice::Found) {
        const auto [ways, best] = d.leaders();
        d.chosenWay = d.candidates.at(ways.first().members.first()).way;
        d.chosenReads = best;
    }
    return d.decided;
}

// After the sample each candidate (and the given locale, where another was chosen) has an upper bound on
// the lines it reads: those of the sample, plus every later line but those it was seen to fail. It may
// change the answer where that bound reaches the chosen way's count (passes it, against the given locale,
// which keeps a tie). Every candidate is read on the lines the chosen locale cannot read; at the first
// record of each hour those that may change the answer, and those that read the sample as the chosen way
// did, which become ways of their own where they read one differently. Reading fewer lines only loosens
// the bound: a candidate that never fails where it is read leaves the answer to every line.
bool LocaleFinder::confirm(const QString& text, const std::optional<acquisition::LogRecord>& chosen,
                           bool newHour)
{
    State& d = *d_;
    if (d.watches.isEmpty())
        d.watch();
    if (!chosen)
        ++d.chosenLaterFails;
    for (State::Watch& w : d.watches) {
        const bool alike = w.sameWay && !w.parted;
        if (!(!chosen || (newHour && (alike || w.reading))))
            continue;
        const Reading r = acquisition::parseAnyLogRecord(text, w.locale);
        if (!r)
            ++w.laterFails;
        else if (alike && (!chosen || !sameRecord(r, chosen)))
            w.parted = true;
        w.reading = d.threat(w);
    }
    d.doubts =
        std::count_if(d.watches.begin(), d.watches.end(), [](const State::Watch& w) { return w.reading; });
    return true;
}

bool LocaleFinder::inDoubt() const
{
    const State& d = *d_;
    return d.watches.isEmpty() || d.doubts > 0 ||
           std::any_of(d.watches.begin(), d.watches.end(),
                       [](const State::Watch& w) { return w.sameWay && !w.parted; });
}

bool LocaleFinder::finish() const
{
    const State& d = *d_;
    return std::none_of(d.watches.begin(), d.watches.end(),
                        [&](const State::Watch& w) { return d.threat(w); });
}

LocaleChoice findLogLocale(const QList<QByteArrayView>& files, const QLocale& given)
{
    LocaleFinder finder(given, 0);
    for (qsizetype f = 0; f < files.size(); ++f) {
        forEachLine(files.at(f), [&](qsizetype lineNumber, QByteArrayView line) {
            if (const std::optional<QString> text = recordTextOf(line, line.size()))
                finder.add(f, lineNumber, *text);
        });
    }
    return finder.choice();
}

} // namespace quorvel::logfile
