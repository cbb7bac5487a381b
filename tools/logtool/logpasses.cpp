#include "logpasses.h"

#include "logtoolcommand.h"

#include "logfile/localefinder.h"
#include "runtime/conversions.h"

#include "acquisition/sensorlist.h"

#include <QBuffer>

namespace quorvel::logtool {

namespace {

// A reason that most lines of a file share is said once, with the count; the other bad lines are
// listed one by one, the first MaxKeptErrors of them.
void reportBadLines(QIODevice& err, const logfile::LogReader::File& report)
{
    const QString& path = report.path;
    const logfile::LogFileContents& file = report.problems;
    if (report.linesFromWindow && file.badLines > 0)
        write(err, QStringLiteral("%1: line numbers count from where --from starts in the file\n").arg(path));
    QList<logfile::LineProblem> summarised;
    qsizetype unlisted = file.badLines;
    for (const logfile::ProblemCount& p : file.problems) {
        if (p.lines < 2 || 2 * p.lines <= file.lines)
            continue;
        summarised.append(p.problem);
        unlisted -= p.lines;
        write(err, QStringLiteral("%1:%2: %3 (and %4 for the same reason)\n")
                       .arg(path, QString::number(p.first.line), p.first.reason,
                            runtime::countText(p.lines - 1, "more line")));
    }
    qsizetype listed = 0;
    for (const logfile::LineError& e : file.errors) {
        if (summarised.contains(e.problem) || listed == logfile::LogFileContents::MaxKeptErrors)
            continue;
        write(err, QStringLiteral("%1:%2: %3\n").arg(path, QString::number(e.line), e.reason));
        ++listed;
    }
    if (unlisted > listed)
        write(err, QStringLiteral("%1: %2 not listed\n")
                       .arg(path, runtime::countText(unlisted - listed, "more bad line")));
}

// What a sensor list that is not the log's gets said: "" where it fits every record. A list that fits no
// record at all is refused.
QString listMismatch(const QString& list, qsizetype listed, qsizetype fitting,
                     const std::map<qsizetype, qsizetype>& others)
{
    if (others.empty())
        return {};
    qsizetype records = 0;
    QStringList counts;
    for (const auto& [count, n] : others) {
        records += n;
        counts << QString::number(count);
    }
    const QString readings = counts.join(QStringLiteral(" or "));
    if (fitting == 0)
        return QStringLiteral(
                   "quorvel3-logtool: %1 lists %2, but every record of the log has %3 readings: it "
                   "is not the list the logger was given\n")
            .arg(list, runtime::countText(listed, "sensor"), readings);
    return QStringLiteral("quorvel3-logtool: warning: %1 lists %2, but %3 of the log have %4 readings: the "
                          "names may not be their sensors'\n")
        .arg(list, runtime::countText(listed, "sensor"), runtime::countText(records, "record"), readings);
}

QString ambiguity(const logfile::LocaleChoice& choice, const QStringList& files)
{
    QString text =
        QStringLiteral("quorvel3-logtool: the records read in more than one locale, with different "
                       "dates; give the logger's with --locale:\n");
    for (const logfile::LocaleChoice::Reading& r : choice.readings) {
        QStringList names;
        for (qsizetype i = 1; i < std::min<qsizetype>(r.locales.size(), 4); ++i)
            names << logfile::localeName(r.locales.at(i));
        if (r.locales.size() > 4)
            names.last() += QStringLiteral(" and %1 more").arg(r.locales.size() - 4);
        const QString alike =
            names.isEmpty() ? QString()
                            : QStringLiteral(" (or ") + names.join(QStringLiteral(", ")) + QLatin1Char(')');
        text += QStringLiteral("  --locale %1%2: %3:%4: \"%5\" is %6\n")
                    .arg(logfile::localeName(r.locales.first()), alike, files.at(r.file),
                         QString::number(r.line), r.text,
                         r.when.isValid() ? r.when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                          : QStringLiteral("not a record"));
    }
    return text;
}

} // namespace

void write(QIODevice& device, const QString& text)
{
    device.write(text.toLocal8Bit());
}

LogPasses::LogPasses(const Options& options, QIODevice& err)
    : options_(options), err_(err), reader_(options.files), current_(options.locale.value_or(QLocale())),
      locale_(current_)
{
}

bool LogPasses::open()
{
    if (!options_.sensorList.isEmpty()) {
        const acquisition::SensorListResult list = acquisition::readSensorList(options_.sensorList);
        if (list.status != acquisition::SensorListResult::Status::Ok) {
            for (const QString& message : list.errors)
                write(err_, message + QLatin1Char('\n'));
            return false;
        }
        for (const acquisition::ListedSensor& sensor : list.sensors)
            names_ << sensor.name;
    }

    const QStringList unreadable = reader_.open();
    for (const QString& failure : unreadable)
        write(err_, QStringLiteral("quorvel3-logtool: %1\n").arg(failure));
    if (!unreadable.isEmpty())
        return false;
    reader_.setWindow(options_.from, options_.to);
    if (options_.locale)
        reader_.setLocale(locale_);
    else if (!take(reader_.findLocale(current_)))
        return false;
    return true;
}

bool LogPasses::take(const logfile::LocaleChoice& choice)
{
    if (choice.outcome == logfile::LocaleChoice::Ambiguous) {
        write(err_, ambiguity(choice, options_.files));
        return false;
    }
    found_.clear();
    if (choice.outcome == logfile::LocaleChoice::Found) {
        found_ = QStringLiteral("quorvel3-logtool: reading the records as the %1 locale writes them; the "
                                "current locale, %2, does not read them all (--locale chooses one)\n")
                     .arg(logfile::localeName(choice.locale), logfile::localeName(current_));
    }
    locale_ = choice.locale;
    return true;
}

bool LogPasses::held() const
{
    // Until a record fits the sensor list, the list may yet be refused.
    return reader_.inDoubt() || (!names_.isEmpty() && fitting_ == 0);
}

bool LogPasses::read(RecordSink& sink)
{
    for (;;) {
        bool otherLocale = false;
        if (!pass(sink, otherLocale))
            return false;
        const bool again = sink.again();
        if (!otherLocale && !again)
            break;
        // What was made in the sample's locale, or made to be made again, is dropped and read again, unless
        // it is out already.
        if (const QString kept = sink.kept(); !kept.isEmpty()) {
            write(err_, found_ + errors_);
            write(err_, kept);
            if (otherLocale)
                take(reader_.choice());
            return false;
        }
        sink.drop();
        if (otherLocale && !take(reader_.choice()))
            return false;
    }
    return finish();
}

bool LogPasses::pass(RecordSink& sink, bool& otherLocale)
{
    records_ = badLines_ = 0;
    unfinished_ = false;
    errors_.clear();
    if (!sink.begin())
        return false;
    fitting_ = 0;
    unfitting_.clear();
    const auto record = [&](const acquisition::LogRecord& r) {
        ++records_;
        if (names_.isEmpty() || r.readings.size() == names_.size())
            ++fitting_;
        else
            ++unfitting_[r.readings.size()];
        sink.add(r);
    };
    QBuffer errorText;
    errorText.open(QIODevice::WriteOnly);
    const auto file = [&](const logfile::LogReader::File& report) {
        reportBadLines(errorText, report);
        badLines_ += report.problems.badLines;
        unfinished_ = unfinished_ || !report.readError.isEmpty();
        if (!report.readError.isEmpty())
            write(
                errorText,
                QStringLiteral("quorvel3-logtool: %1: cannot read: %2\n").arg(report.path, report.readError));
    };
    const logfile::LogReader::Pass pass = reader_.read(record, file);
    errors_ = QString::fromLocal8Bit(errorText.data());
    otherLocale = false;
    if (pass == logfile::LogReader::Pass::LocaleInDoubt) {
        // Every line decides now; the pass stands where that reads them as the sample's locale did.
        if (!reader_.findLocaleFromEveryLine(current_)) {
            write(err_, found_ + errors_);
            write(err_, QStringLiteral("quorvel3-logtool: the later records of standard input may be read "
                                       "in another locale than its first ones; give it with --locale\n"));
            return false;
        }
        const logfile::LocaleChoice& choice = reader_.choice();
        otherLocale =
            choice.outcome == logfile::LocaleChoice::Ambiguous || !logfile::readAlike(choice.locale, locale_);
    }
    return true;
}

bool LogPasses::finish()
{
    write(err_, found_ + errors_);
    // A file not read to its end: nothing is written that would pass for the whole.
    if (unfinished_)
        return false;
    if (const QString mismatch = listMismatch(options_.sensorList, names_.size(), fitting_, unfitting_);
        !mismatch.isEmpty()) {
        write(err_, mismatch);
        if (fitting_ == 0)
            return false;
    }
    return true;
}

int LogPasses::exitStatus() const
{
    if (records_ == 0 && badLines_ > 0) {
        write(err_, options_.locale
                        ? QStringLiteral("quorvel3-logtool: not one line is a record in the %1 locale; is "
                                         "--locale the logger's?\n")
                              .arg(logfile::localeName(locale_))
                        : QStringLiteral("quorvel3-logtool: not one line is a record, in the %1 locale or "
                                         "any other\n")
                              .arg(logfile::localeName(locale_)));
        return LogToolCommand::NoRecords;
    }
    return LogToolCommand::Success;
}

} // namespace quorvel::logtool
