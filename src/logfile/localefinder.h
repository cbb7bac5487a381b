#pragma once

#include "logrecord.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QString>

#include <memory>
#include <optional>

namespace quorvel::logfile {

// The locale to read log files in when none is given.
struct LocaleChoice {
    enum Outcome {
        // The given locale reads every record, or no locale reads more of them.
        Given,
        // Another locale reads more records: every one, where the given one misses some.
        Found,
        // Several locales read the most records but give them different dates or readings.
        Ambiguous,
    };
    // One way of reading the records, with the first record it reads differently from the others.
    struct Reading {
        QList<QLocale> locales; // those that reproduce the lines best come first
        qsizetype file = 0;     // index into the files
        qsizetype line = 0;     // 1-based
        QString text;           // the date-time there
        QDateTime when;         // what these locales read it as
    };

    Outcome outcome = Given;
    QLocale locale;          // Given, Found: the one to read in
    QList<Reading> readings; // Ambiguous: one per way of reading, at least two
};

// Finds the locale from the lines one at a time, with the rule of findLogLocale. With a sample size it is
// settled once that many lines are read and one way of reading them leads (tied ways of reading go on
// until they part); the lines after it are then read in the chosen locale alone, and each goes through
// confirm(), which brings the other candidates back where the chosen one cannot read a record (and, at
// the first record of each hour, the candidates that read the sample alike), and says when they might
// change the answer, which the whole input then has to decide.
class LocaleFinder {
public:
    static constexpr qsizetype DefaultSample = 1000;

    // sample 0: never settled, every line decides.
    explicit LocaleFinder(const QLocale& given, qsizetype sample = DefaultSample);
    ~LocaleFinder();
    LocaleFinder(const LocaleFinder&) = delete;
    LocaleFinder& operator=(const LocaleFinder&) = delete;

    // A line that passed recordTextOf, of the file at that index (in the order given), 1-based line.
    void add(qsizetype file, qsizetype line, const QString& text);
    [[nodiscard]] bool settled() const;
    [[nodiscard]] LocaleChoice choice() const;
    // A line after the sample (choice() taken), as the chosen locale read it; newHour: the record starts
    // another hour or date than the one before.
    bool confirm(const QString& text, const std::optional<acquisition::LogRecord>& chosen, bool newHour);
    // After the last line: false when the answer may differ from choice(), so every line has to decide.
    [[nodiscard]] bool finish() const;
    // Whether the answer may still differ from choice(): a candidate may tie, or one that read the sample as
    // the chosen locale did may still part from it.
    [[nodiscard]] bool inDoubt() const;

private:
    struct State;
    std::unique_ptr<State> d_;
};

// Finds the locale the files were written in. The given locale (the user's) is kept when it reads
// every record. Otherwise every locale Qt knows whose formats read the first record is tried on all
// of them, one per distinct set of date, time and number formats, and the one reading the most is
// taken. Among locales that read the same, one whose own writing of the first record gives the very
// line is preferred.
[[nodiscard]] LocaleChoice findLogLocale(const QList<QByteArrayView>& files, const QLocale& given);

// Whether two locales read every line alike (the same date, time and number formats).
[[nodiscard]] bool readAlike(const QLocale& a, const QLocale& b);

// A name that --locale reads back as the same locale ("de_DE", "ff_Adlm_SN").
[[nodiscard]] QString localeName(const QLocale& locale);

} // namespace quorvel::logfile
