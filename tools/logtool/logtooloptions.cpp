#include "logtooloptions.h"

#include "logfile/plotlayout.h"
#include "runtime/localeformats.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRect>
#include <QRegularExpression>

namespace quorvel::logtool {

namespace {

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

} // namespace

std::variant<Options, Failed, QString> parseOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
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

} // namespace quorvel::logtool
