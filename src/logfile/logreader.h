#pragma once

#include "logrecord.h"
#include "localefinder.h"
#include "logfilereader.h"

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace quorvel::logfile {

// Log files read as one stream of records, one line at a time, so memory does not grow with the log:
// plain or gzip-compressed files and standard input ("-"), rotated files in time order (by their first
// record) whatever order they are given in, and optionally only a window of time, found in a plain file
// by bisection so what lies outside it is not read.
class LogReader {
public:
    struct File {
        QString path;
        LogFileContents problems; // records stay empty
        // The window started past the file's start: line numbers count from there.
        bool linesFromWindow = false;
        QString readError; // the file could not be read to its end
    };
    enum class Pass {
        Done,
        // Records after the sample may make another locale read the most: findLocaleFromEveryLine() decides,
        // and where it chooses another way of reading, what the pass made is dropped and read() called again.
        LocaleInDoubt,
    };

    explicit LogReader(QStringList paths);
    ~LogReader();
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    // Opens every file; one "PATH: reason" for each that cannot be read.
    [[nodiscard]] QStringList open();
    // Finds the locale from the first records (LocaleFinder's sample), to read on with it.
    [[nodiscard]] LocaleChoice findLocale(const QLocale& given,
                                          qsizetype sample = LocaleFinder::DefaultSample);
    // The same from every line, after read() said LocaleInDoubt; false where an input cannot be read
    // again (standard input).
    [[nodiscard]] bool findLocaleFromEveryLine(const QLocale& given);
    [[nodiscard]] const LocaleChoice& choice() const { return choice_; }
    void setLocale(const QLocale& locale);
    // Records from from to to, both included; an invalid time leaves that side open.
    void setWindow(const QDateTime& from, const QDateTime& to);

    // During read(): whether the records so far leave the locale of the sample in doubt.
    [[nodiscard]] bool inDoubt() const { return finder_ && finder_->inDoubt(); }

    // Reads every record, calling record for each one in the window and file after each file.
    [[nodiscard]] Pass read(const std::function<void(const acquisition::LogRecord&)>& record,
                            const std::function<void(const File&)>& file);

private:
    struct Input;
    bool rewind(Input& input);
    void order();
    void findRange(Input& input);

    QStringList paths_;
    std::vector<std::unique_ptr<Input>> inputs_; // in the order given
    QList<qsizetype> order_;                     // the inputs in time order
    QLocale locale_;
    LocaleChoice choice_;
    std::unique_ptr<LocaleFinder> finder_; // the sample's finder while its choice is on trial
    qsizetype sampleFile_ = -1;            // the sample ends at this file (given order) and line
    qsizetype sampleLine_ = 0;
    QDateTime from_;
    QDateTime to_;
    bool ordered_ = false;
};

} // namespace quorvel::logfile
