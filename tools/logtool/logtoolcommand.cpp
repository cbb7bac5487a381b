#include "logtoolcommand.h"

#include "logfile/csvexport.h"
#include "logfile/logfilereader.h"
#include "logfile/logreader.h"
#include "logfile/plotlayout.h"
#include "logfile/svgrenderer.h"
#include "pngrenderer.h"
#include "sensorstatistics.h"

#include "runtime/conversions.h"
#include "runtime/localeformats.h"

#include "acquisition/sensorlist.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QRegularExpression>
#include <QSaveFile>

#include <map>
#include <optional>
#include <variant>

namespace quorvel::logtool {

namespace {

const char* const Usage = "Usage: quorvel3-logtool COMMAND [options] FILE...";

const char* const Help = R"(Reads the log files of the Quorvel-3 temperature logger: one line per sweep of its
DS18B20 sensors (thirteen for the window program, 1 to 100 for the service), the date and time
as the logger's locale writes it, then one reading per sensor in degrees Celsius. A file may be
gzip-compressed, as log rotation leaves it, and - reads standard input. Files are read in the time
order of their first records, whatever order they are given in, and all the logging periods and
runs in them one after the other. A record with another count of readings than the one before it
starts a new logging period. --from and --to choose a window of time; in a file that is not
compressed, what lies outside it is not read.

Commands:
  csv    Converts the records to CSV (RFC 4180, CR LF line ends, UTF-8). The header row is
         timestamp,sensor1,...,sensorN, one column per sensor of the widest logging period
         (a record with fewer readings leaves the rest empty); with --sensors the sensors
         are headed by their names in the sensor list instead. The timestamp is ISO 8601
         local time with its offset from UTC (2007-03-14T22:05:42-04:00), readings use "."
         and the shortest form that reads back as the same value. Output to standard output
         unless -o is given.
           quorvel3-logtool csv --locale de_DE -o temperatures.csv sweep.log
           quorvel3-logtool csv --sensors /etc/quorvel3d/sensors quorvel3d.log
  plot   Draws the sensors over time into a PNG or SVG picture, chosen by the
         extension of -o (.png or .svg), which is required. Each sensor has its own colour,
         shown in the legend by its number 1..N. A line never joins records across a gap:
         where the time to the next record exceeds the gap factor times the median time
         between records (at least one second), where time runs backwards, as at the start
         of an earlier run appended after a later one, or where the count of readings
         changes. In SVG each sensor is a
         <g class="series" data-sensor="N"> with one <polyline class="run"> per continuous run.
           quorvel3-logtool plot --size 1600x800 -o week.png monday.log tuesday.log
  stats  Per sensor: count of readings, minimum, maximum, mean, the time of the last change
         of value, how many records at the end hold that value, and how many readings are
         exactly 85 (what a DS18B20 reports after a power-on reset, before it has measured).
         A sensor whose value did not change over the last N records (--stale) is marked
         "stale?": the log cannot mark a failed sensor, which repeats its last value. A plain
         text table, or CSV with --format csv. Output to standard output unless -o is given.
           quorvel3-logtool stats --format csv sweep.log

The logger's locale:
  Without --locale the current locale is used when it reads every record. Otherwise every
  locale Qt knows whose date, time and number formats read the first record is tried; the
  one that reads the most is used, and named on standard error. The choice is made on the
  first 1,000 records and checked on the rest; where they leave it in doubt, every record
  decides. When
  several read them all but give different dates (3/4/2007: 4 March or 3 April), nothing
  is written: they are listed and --locale must choose.

Bad lines:
  A line that is not a record is reported on standard error as FILE:LINE: reason and
  skipped; the first 100 per file are listed, then a count of the rest. A reason that most
  lines of a file share is said once, at its first line, with the count. A record the logger
  did not finish (a line that stops right after its last digits) is a bad line too. Lines may
  end in CR LF, LF or CR. An empty file is no error.

Exit status:
  0  at least one record was read, or every file was empty.
  1  bad usage, an input file or sensor list that cannot be read or is no good, a sensor list whose count
     of sensors is that of no record (one that fits only some is warned of), records whose dates read differently
     in several locales (then nothing is written), or an output that cannot be written.
  2  not one line of the input is a record, for instance because --locale is not the
     logger's: the output is still written as for empty input (the CSV header only, a
     statistics table of zero counts, a plot that says "No records").)";

QString localeHelp()
{
    return QStringLiteral(
               "The logger's locale, e.g. de_DE or en_US: its date and time format and decimal "
               "separator. Default: the current one (%1) if it reads every record, else the one that does.")
        .arg(QLocale().name());
}

struct Options {
    QString command;
    QStringList files;
    std::optional<QLocale> locale; // none: found from the records
    QString output;
    QSize size{1200, 600};
    bool csvStats = false;
    qsizetype staleRecords = SensorStatistics::DefaultStaleRecords;
    double gapFactor = logfile::LogRuns::DefaultGapFactor;
    QString sensorList; // csv: names for the header
    QDateTime from;     // the window, invalid where open
    QDateTime to;
};

struct Failed {
    QString message;
};

void write(QIODevice& device, const QString& text)
{
    device.write(text.toLocal8Bit());
}

// The options, the reason they are no good, or the text that --help or --version asks for.
std::variant<Options, Failed, QString> parse(QCommandLineParser& parser, const QStringList& arguments)
{
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Shows the version."));
    const QCommandLineOption locale(QStringLiteral("locale"), localeHelp(), QStringLiteral("NAME"));
    const QCommandLineOption output(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("Output file; replaced only once it is complete. Required for plot."),
        QStringLiteral("FILE"));
    const QCommandLineOption size(
        QStringLiteral("size"),
        QStringLiteral("plot: picture size in pixels, %1x%2 to %3x%4 (default 1200x600).")
            .arg(logfile::PlotLayout::MinimumSize.width())
            .arg(logfile::PlotLayout::MinimumSize.height())
            .arg(logfile::PlotLayout::MaximumSize.width())
            .arg(logfile::PlotLayout::MaximumSize.height()),
        QStringLiteral("WxH"));
    const QCommandLineOption format(QStringLiteral("format"), QStringLiteral("stats: text (default) or csv."),
                                    QStringLiteral("FORMAT"));
    const QCommandLineOption stale(
        QStringLiteral("stale"),
        QStringLiteral(
            "stats: mark a sensor \"stale?\" when its value did not change over the last N records, "
            "N >= 2 (default %1).")
            .arg(SensorStatistics::DefaultStaleRecords),
        QStringLiteral("N"));
    const QCommandLineOption gap(
        QStringLiteral("gap-factor"),
        QStringLiteral("plot, stats: a pause longer than F times the median time between records ends a "
                       "logging period, F > 1 (default %1).")
            .arg(logfile::LogRuns::DefaultGapFactor),
        QStringLiteral("F"));
    const QCommandLineOption sensors(
        QStringLiteral("sensors"),
        QStringLiteral(
            "name the sensors from this sensor list, the one the service was given: csv's "
            "columns (sensors without a name keep sensorN), stats' last column, the plot's legend."),
        QStringLiteral("FILE"));
    parser.setApplicationDescription(QString::fromLatin1(Help));
    const QCommandLineOption from(
        QStringLiteral("from"),
        QStringLiteral(
            "Only records at or after this local time, ISO 8601 (2007-03-14 or 2007-03-14T22:05)."),
        QStringLiteral("TIME"));
    const QCommandLineOption to(
        QStringLiteral("to"),
        QStringLiteral("Only records up to this local time, ISO 8601; a date alone is its first second."),
        QStringLiteral("TIME"));
    parser.addOptions({help, version, locale, output, size, format, stale, gap, sensors, from, to});
    parser.addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("csv, plot or stats."));
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("Log files, plain or gzip-compressed; - for standard input."),
                                 QStringLiteral("FILE..."));

    if (!parser.parse(arguments))
        return Failed{parser.errorText()};
    if (parser.isSet(help))
        return QString::fromLatin1(Usage) + QStringLiteral("\n\n") +
               parser.helpText().section(QLatin1Char('\n'), 1);
    if (parser.isSet(version))
        return QStringLiteral("quorvel3-logtool %1\n").arg(QStringLiteral(QUORVEL_LOGTOOL_VERSION));

    Options o;
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return Failed{QStringLiteral("no command given")};
    o.command = positional.takeFirst();
    if (o.command != QLatin1String("csv") && o.command != QLatin1String("plot") &&
        o.command != QLatin1String("stats"))
        return Failed{QStringLiteral("unknown command \"%1\"; use csv, plot or stats").arg(o.command)};
    if (positional.isEmpty())
        return Failed{QStringLiteral("no log file given")};
    o.files = positional;

    const auto onlyFor = [&](const QCommandLineOption& option,
                             QStringList commands) -> std::optional<Failed> {
        if (parser.isSet(option) && !commands.contains(o.command))
            return Failed{
                QStringLiteral("--%1 does not apply to %2").arg(option.names().constLast(), o.command)};
        return std::nullopt;
    };
    for (const auto& check :
         {onlyFor(size, {QStringLiteral("plot")}), onlyFor(format, {QStringLiteral("stats")}),
          onlyFor(stale, {QStringLiteral("stats")}),
          onlyFor(gap, {QStringLiteral("plot"), QStringLiteral("stats")})}) {
        if (check)
            return *check;
    }

    if (parser.isSet(locale)) {
        const QString name = parser.value(locale);
        o.locale = runtime::localeNamed(name);
        if (!o.locale)
            return Failed{QStringLiteral("unknown locale \"%1\"").arg(name)};
    }
    o.sensorList = parser.value(sensors);
    if (parser.isSet(sensors) && o.sensorList.isEmpty())
        return Failed{QStringLiteral("the sensor list's file name is empty")};
    o.output = parser.value(output);
    if (parser.isSet(output) && o.output.isEmpty())
        return Failed{QStringLiteral("the output file name is empty")};
    if (o.command == QLatin1String("plot")) {
        if (o.output.isEmpty())
            return Failed{QStringLiteral("plot needs an output file: -o FILE.png or -o FILE.svg")};
        const QString suffix = QFileInfo(o.output).suffix().toLower();
        if (suffix != QLatin1String("png") && suffix != QLatin1String("svg"))
            return Failed{QStringLiteral("the plot output must end in .png or .svg")};
    }
    if (parser.isSet(size)) {
        static const QRegularExpression pattern(QStringLiteral("^(\\d{1,6})[xX](\\d{1,6})$"));
        const QRegularExpressionMatch m = pattern.match(parser.value(size));
        const QSize s = m.hasMatch() ? QSize(m.captured(1).toInt(), m.captured(2).toInt()) : QSize();
        const QRect allowed(
            QPoint(logfile::PlotLayout::MinimumSize.width(), logfile::PlotLayout::MinimumSize.height()),
            QPoint(logfile::PlotLayout::MaximumSize.width(), logfile::PlotLayout::MaximumSize.height()));
        if (!m.hasMatch() || !allowed.contains(QPoint(s.width(), s.height())))
            return Failed{QStringLiteral("--size must be WxH from %1x%2 to %3x%4")
                              .arg(allowed.left())
                              .arg(allowed.top())
                              .arg(allowed.right())
                              .arg(allowed.bottom())};
        o.size = s;
    }
    if (parser.isSet(format)) {
        const QString f = parser.value(format);
        if (f != QLatin1String("text") && f != QLatin1String("csv"))
            return Failed{QStringLiteral("--format must be text or csv")};
        o.csvStats = f == QLatin1String("csv");
    }
    if (parser.isSet(stale)) {
        bool ok = false;
        const qlonglong n = parser.value(stale).toLongLong(&ok);
        if (!ok || n < 2)
            return Failed{QStringLiteral("--stale must be a whole number of at least 2")};
        o.staleRecords = n;
    }
    if (parser.isSet(gap)) {
        bool ok = false;
        const double f = QLocale::c().toDouble(parser.value(gap), &ok);
        if (!ok || !(f > 1.0) || f > 1e6)
            return Failed{QStringLiteral("--gap-factor must be a number above 1")};
        o.gapFactor = f;
    }
    for (const auto& [option, time] : {std::pair(&from, &o.from), std::pair(&to, &o.to)}) {
        if (!parser.isSet(*option))
            continue;
        const QString text = parser.value(*option);
        *time = QDateTime::fromString(text, Qt::ISODate);
        if (!time->isValid()) {
            const QDate date = QDate::fromString(text, Qt::ISODate);
            if (date.isValid())
                *time = date.startOfDay();
        }
        if (!time->isValid())
            return Failed{
                QStringLiteral("--%1 must be an ISO 8601 date or time (2007-03-14, 2007-03-14T22:05:42)")
                    .arg(option->names().constLast())};
    }
    if (o.from.isValid() && o.to.isValid() && o.to < o.from)
        return Failed{QStringLiteral("--to is before --from")};
    return o;
}

QString plotTitle(const QStringList& files, qsizetype records)
{
    QStringList names;
    for (const QString& f : files)
        names << QFileInfo(f).fileName();
    QString title = names.join(QStringLiteral(", "));
    if (title.size() > 80)
        title = title.left(77) + QStringLiteral("...");
    return title + QStringLiteral(": ") + runtime::countText(records, "record");
}

bool writeOutput(const QString& path, const QByteArray& data, QIODevice& out, QIODevice& err)
{
    if (path.isEmpty())
        return out.write(data) == data.size();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        write(err, QStringLiteral("quorvel3-logtool: %1: cannot write: %2\n").arg(path, file.errorString()));
        return false;
    }
    return true;
}

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

int LogToolCommand::run(const QStringList& arguments, QIODevice& out, QIODevice& err)
{
    QCommandLineParser parser;
    const auto parsed = parse(parser, arguments);
    if (const auto* text = std::get_if<QString>(&parsed)) {
        write(out, *text);
        return Success;
    }
    if (const auto* failed = std::get_if<Failed>(&parsed)) {
        write(err, QStringLiteral("quorvel3-logtool: %1\n%2\nTry 'quorvel3-logtool --help'.\n")
                       .arg(failed->message, QString::fromLatin1(Usage)));
        return Failure;
    }
    const Options& o = std::get<Options>(parsed);

    QStringList names;
    if (!o.sensorList.isEmpty()) {
        const acquisition::SensorListResult list = acquisition::readSensorList(o.sensorList);
        if (list.status != acquisition::SensorListResult::Status::Ok) {
            for (const QString& message : list.errors)
                write(err, message + QLatin1Char('\n'));
            return Failure;
        }
        for (const acquisition::ListedSensor& sensor : list.sensors)
            names << sensor.name;
    }

    logfile::LogReader reader(o.files);
    const QStringList unreadable = reader.open();
    for (const QString& failure : unreadable)
        write(err, QStringLiteral("quorvel3-logtool: %1\n").arg(failure));
    if (!unreadable.isEmpty())
        return Failure;
    reader.setWindow(o.from, o.to);

    const QLocale current = o.locale.value_or(QLocale());
    QLocale locale = current;
    QString found; // the locale found, said on standard error once the records confirm it
    // False when the records read differently in several locales.
    const auto take = [&](const logfile::LocaleChoice& choice) {
        if (choice.outcome == logfile::LocaleChoice::Ambiguous) {
            write(err, ambiguity(choice, o.files));
            return false;
        }
        found.clear();
        if (choice.outcome == logfile::LocaleChoice::Found) {
            found = QStringLiteral("quorvel3-logtool: reading the records as the %1 locale writes them; the "
                                   "current locale, %2, does not read them all (--locale chooses one)\n")
                        .arg(logfile::localeName(choice.locale), logfile::localeName(current));
        }
        locale = choice.locale;
        return true;
    };
    if (o.locale)
        reader.setLocale(locale);
    else if (!take(reader.findLocale(current)))
        return Failure;

    const bool toFile = !o.output.isEmpty();
    const bool csv = o.command == QLatin1String("csv");
    const bool stats = o.command == QLatin1String("stats");
    if (!csv && !stats && !qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        write(err, QStringLiteral("quorvel3-logtool: plot needs a QGuiApplication\n"));
        return Failure;
    }

    // csv is written as it is read: to the output file, replaced only once complete, or standard output.
    QSaveFile csvFile(o.output);
    QByteArray pending;
    bool written = true;
    // While the records leave the sample's locale in doubt, rows wait here (up to a bound), so a pass
    // that turns out to be in another locale has written nothing.
    constexpr qsizetype Held = qsizetype(8) << 20;
    bool flushed = false;
    // Records that fit the sensor list and those that do not, by their count of readings.
    qsizetype fitting = 0;
    std::map<qsizetype, qsizetype> unfitting;
    const auto flush = [&](bool all) {
        // Until a record fits the sensor list, the list may yet be refused: rows wait too.
        const bool waiting = reader.inDoubt() || (!names.isEmpty() && fitting == 0);
        if (pending.size() < (all ? 1 : 1 << 20) || (!all && pending.size() < Held && waiting))
            return;
        QIODevice& device = toFile ? static_cast<QIODevice&>(csvFile) : out;
        flushed = true;
        written = written && device.write(pending) == pending.size();
        pending.clear();
    };

    qsizetype records = 0;
    qsizetype badLines = 0;
    bool unfinished = false; // a file could not be read to its end
    qsizetype columns = -1;  // csv: the header's sensor columns, once written
    qsizetype atLeast = 0;   // csv: the widest record of a pass whose header was too narrow
    qsizetype widest = 0;
    bool wider = false; // csv: a record has more readings than the header
    StatisticsAccumulator statistics;
    std::optional<logfile::PlotEnvelope> envelope;
    QString errors; // the bad lines, said once the pass is through
    for (;;) {
        records = badLines = 0;
        unfinished = false;
        statistics = StatisticsAccumulator();
        envelope.emplace(logfile::PlotLayout::columns(o.size, names));
        errors.clear();
        if (csv && toFile && !csvFile.isOpen() && !csvFile.open(QIODevice::WriteOnly)) {
            write(err, QStringLiteral("quorvel3-logtool: %1: cannot write: %2\n")
                           .arg(o.output, csvFile.errorString()));
            return Failure;
        }
        columns = -1;
        fitting = 0;
        unfitting.clear();
        const auto record = [&](const acquisition::LogRecord& r) {
            ++records;
            if (names.isEmpty() || r.readings.size() == names.size())
                ++fitting;
            else
                ++unfitting[r.readings.size()];
            if (csv) {
                widest = std::max(widest, r.readings.size());
                if (columns < 0) {
                    columns = std::max(atLeast, r.readings.size());
                    pending += logfile::CsvExport::header(columns, names);
                }
                if (r.readings.size() > columns)
                    wider = true;
                logfile::CsvExport::appendRow(pending, r, columns);
                flush(false);
            } else if (stats) {
                statistics.add(r);
            } else {
                envelope->add(r);
            }
        };
        QBuffer errorText;
        errorText.open(QIODevice::WriteOnly);
        const auto file = [&](const logfile::LogReader::File& report) {
            reportBadLines(errorText, report);
            badLines += report.problems.badLines;
            unfinished = unfinished || !report.readError.isEmpty();
            if (!report.readError.isEmpty())
                write(errorText, QStringLiteral("quorvel3-logtool: %1: cannot read: %2\n")
                                     .arg(report.path, report.readError));
        };
        const logfile::LogReader::Pass pass = reader.read(record, file);
        errors = QString::fromLocal8Bit(errorText.data());
        bool otherLocale = false;
        if (pass == logfile::LogReader::Pass::LocaleInDoubt) {
            // Every line decides now; the pass stands where that reads them as the sample's locale did.
            if (!reader.findLocaleFromEveryLine(current)) {
                write(err, found + errors);
                write(err, QStringLiteral("quorvel3-logtool: the later records of standard input may be read "
                                          "in another locale than its first ones; give it with --locale\n"));
                return Failure;
            }
            const logfile::LocaleChoice& choice = reader.choice();
            otherLocale = choice.outcome == logfile::LocaleChoice::Ambiguous ||
                          !logfile::readAlike(choice.locale, locale);
        }
        if (!otherLocale && !(csv && wider))
            break;
        // What was made in the sample's locale, or under a header too narrow, is dropped and read again,
        // unless rows are on standard output already.
        if (csv && !toFile && flushed) {
            write(err, found + errors);
            write(err, wider ? QStringLiteral(
                                   "quorvel3-logtool: a later record has more readings than the first, so "
                                   "the csv header is short of columns; write it with -o FILE\n")
                             : QStringLiteral(
                                   "quorvel3-logtool: the later records read best in another locale than "
                                   "the first ones; give it with --locale, or write with -o FILE\n"));
            if (otherLocale)
                take(reader.choice());
            return Failure;
        }
        if (csv) {
            if (toFile) {
                csvFile.cancelWriting();
                csvFile.commit();
            }
            pending.clear();
            atLeast = std::max(atLeast, widest);
        }
        if (otherLocale && !take(reader.choice()))
            return Failure;
        wider = false;
    }
    write(err, found + errors);
    // A file not read to its end: nothing is written that would pass for the whole.
    if (unfinished)
        return Failure;
    if (const QString mismatch = listMismatch(o.sensorList, names.size(), fitting, unfitting);
        !mismatch.isEmpty()) {
        write(err, mismatch);
        if (fitting == 0)
            return Failure;
    }

    QByteArray data;
    if (csv) {
        if (columns < 0)
            pending += logfile::CsvExport::header(
                names.isEmpty() ? qsizetype(acquisition::LogRecord::ReadingCount) : names.size(), names);
        flush(true);
        if (toFile && (!written || !csvFile.commit())) {
            write(err, QStringLiteral("quorvel3-logtool: %1: cannot write: %2\n")
                           .arg(o.output, csvFile.errorString()));
            return Failure;
        }
        if (!written)
            return Failure;
    } else if (stats) {
        const LogFigures figures = statistics.figures(o.staleRecords, o.gapFactor);
        data = o.csvStats ? SensorStatistics::csv(figures, names)
                          : SensorStatistics::table(figures, o.staleRecords, names).toUtf8();
    } else {
        const logfile::PlotScene scene =
            logfile::PlotLayout::layout(*envelope, o.size, plotTitle(o.files, records), o.gapFactor, names);
        envelope.reset();
        if (QFileInfo(o.output).suffix().toLower() == QLatin1String("svg")) {
            data = logfile::SvgRenderer::render(scene);
        } else {
            QSaveFile image(o.output);
            if (!image.open(QIODevice::WriteOnly) || !PngRenderer::render(scene).save(&image, "PNG") ||
                !image.commit()) {
                write(err, QStringLiteral("quorvel3-logtool: %1: cannot write: %2\n")
                               .arg(o.output, image.errorString()));
                return Failure;
            }
        }
    }
    if (!data.isEmpty() && !writeOutput(o.output, data, out, err))
        return Failure;

    if (records == 0 && badLines > 0) {
        write(err, o.locale
                       ? QStringLiteral("quorvel3-logtool: not one line is a record in the %1 locale; is "
                                        "--locale the logger's?\n")
                             .arg(logfile::localeName(locale))
                       : QStringLiteral("quorvel3-logtool: not one line is a record, in the %1 locale or "
                                        "any other\n")
                             .arg(logfile::localeName(locale)));
        return NoRecords;
    }
    return Success;
}

} // namespace quorvel::logtool
