#pragma once

#include "logtooloptions.h"

#include "logfile/logrecord.h"
#include "logfile/logreader.h"

#include <QIODevice>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <map>

namespace quorvel::logtool {

// Text for a terminal or a file, in the local encoding.
void write(QIODevice& device, const QString& text);

// What a command makes of the records of a pass. A pass is read again where the records turn out to be
// in another locale than the sample's, or where the command asks for it.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    // A pass starts from the first record; false where the command cannot go on, said on standard error.
    [[nodiscard]] virtual bool begin() = 0;
    virtual void add(const acquisition::LogRecord& record) = 0;
    // The pass has to be read again, in the same locale.
    [[nodiscard]] virtual bool again() const { return false; }
    // Why what the pass made cannot be taken back: empty where it can.
    [[nodiscard]] virtual QString kept() const { return {}; }
    // What the pass made is dropped, before the next one.
    virtual void drop() {}
};

// The records of the command line's log files, read pass after pass in the locale they were written in,
// with their bad lines said on standard error and the sensor list checked against them.
class LogPasses {
public:
    LogPasses(const Options& options, QIODevice& err);

    // Reads the sensor list, opens the files and finds their locale; false after saying why not.
    [[nodiscard]] bool open();
    // The sensor list's names, in its order; empty without one.
    [[nodiscard]] const QStringList& names() const { return names_; }
    // During a pass: the records so far may yet be dropped, as their locale or the sensor list is in doubt.
    [[nodiscard]] bool held() const;
    // Every record into the sink; false where nothing may be written, said on standard error.
    [[nodiscard]] bool read(RecordSink& sink);
    [[nodiscard]] qsizetype records() const { return records_; }
    // Once the output is written: Success, or NoRecords after saying so where lines were read but no record.
    [[nodiscard]] int exitStatus() const;

private:
    // One pass; otherLocale: every line has chosen another way of reading them than the pass's.
    bool pass(RecordSink& sink, bool& otherLocale);
    // Takes the choice of a locale; false (said why) where it is ambiguous.
    bool take(const logfile::LocaleChoice& choice);
    // After the last pass: what it read, the bad lines and the fit of the sensor list said.
    bool finish();

    const Options& options_;
    QIODevice& err_;
    QStringList names_;
    logfile::LogReader reader_;
    QLocale current_;
    QLocale locale_;
    QString found_;  // the locale found, said on standard error once the records confirm it
    QString errors_; // the bad lines, said once the pass is through
    qsizetype records_ = 0;
    qsizetype badLines_ = 0;
    bool unfinished_ = false; // a file could not be read to its end
    // Records that fit the sensor list and those that do not, by their count of readings.
    qsizetype fitting_ = 0;
    std::map<qsizetype, qsizetype> unfitting_;
};

} // namespace quorvel::logtool
