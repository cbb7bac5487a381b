#include "logreader.h"

#include "loginput.h"

#include <algorithm>
#include <limits>

namespace quorvel::logfile {

namespace {

// Below this many bytes the bisection stops and the lines are read.
constexpr qint64 ReadRather = 64 * 1024;

} // namespace

struct LogReader::Input {
    QString path;
    LogInput input;
    bool read = false;     // lines were taken since it was opened
    bool searched = false; // for the window
    bool ranged = false;
    qint64 start = 0;
    qint64 end = -1;
};

LogReader::LogReader(QStringList paths) : paths_(std::move(paths)) {}

LogReader::~LogReader() = default;

QStringList LogReader::open()
{
    QStringList failures;
    bool standardInput = false;
    for (const QString& path : std::as_const(paths_)) {
        auto input = std::make_unique<Input>();
        input->path = path;
        QString error;
        // What the locale is found from is read again; standard input keeps it for that.
        input->input.keepStandardInput(true);
        if (path == QLatin1String("-") && std::exchange(standardInput, true))
            error = QStringLiteral("standard input is given more than once");
        else
            error = input->input.open(path);
        if (!error.isEmpty())
            failures << QStringLiteral("%1: cannot read: %2").arg(path, error);
        inputs_.push_back(std::move(input));
    }
    return failures;
}

bool LogReader::rewind(Input& in)
{
    if (in.read) {
        if (!in.input.reopen().isEmpty())
            return false;
        in.read = false;
    }
    if (in.ranged)
        in.input.setRange(in.start, in.end);
    return true;
}

LocaleChoice LogReader::findLocale(const QLocale& given, qsizetype sample)
{
    finder_ = std::make_unique<LocaleFinder>(given, sample);
    bool settled = false;
    for (qsizetype f = 0; f < qsizetype(inputs_.size()) && !settled; ++f) {
        Input& in = *inputs_.at(std::size_t(f));
        in.read = true;
        QByteArrayView line;
        qsizetype length = 0;
        while (!settled && in.input.nextLine(line, length)) {
            if (const std::optional<QString> text = recordTextOf(line, length))
                finder_->add(f, in.input.lineNumber(), *text);
            if (finder_->settled()) {
                settled = true;
                sampleFile_ = f;
                sampleLine_ = in.input.lineNumber();
            }
        }
    }
    choice_ = finder_->choice();
    // Without a sample every line has decided already.
    if (!settled)
        finder_.reset();
    locale_ = choice_.locale;
    return choice_;
}

bool LogReader::findLocaleFromEveryLine(const QLocale& given)
{
    finder_.reset();
    LocaleFinder finder(given, 0);
    for (qsizetype f = 0; f < qsizetype(inputs_.size()); ++f) {
        Input& in = *inputs_.at(std::size_t(f));
        if (in.path == QLatin1String("-"))
            return false;
        const bool ranged = std::exchange(in.ranged, false);
        if (!rewind(in))
            return false;
        in.ranged = ranged;
        in.read = true;
        QByteArrayView line;
        qsizetype length = 0;
        while (in.input.nextLine(line, length)) {
            if (const std::optional<QString> text = recordTextOf(line, length))
                finder.add(f, in.input.lineNumber(), *text);
        }
    }
    choice_ = finder.choice();
    locale_ = choice_.locale;
    ordered_ = false;
    for (auto& in : inputs_)
        in->ranged = in->searched = false;
    return true;
}

void LogReader::setLocale(const QLocale& locale)
{
    locale_ = locale;
    finder_.reset();
}

void LogReader::setWindow(const QDateTime& from, const QDateTime& to)
{
    from_ = from;
    to_ = to;
}

// Files in the time order of their first records; a file without records goes first.
void LogReader::order()
{
    order_.clear();
    for (qsizetype i = 0; i < qsizetype(inputs_.size()); ++i)
        order_.append(i);
    ordered_ = true;
    if (inputs_.size() < 2)
        return;
    QList<qint64> first(order_.size(), std::numeric_limits<qint64>::min());
    for (qsizetype i = 0; i < order_.size(); ++i) {
        Input& in = *inputs_.at(std::size_t(i));
        if (!rewind(in))
            continue;
        in.read = true;
        QByteArrayView line;
        qsizetype length = 0;
        while (in.input.nextLine(line, length)) {
            const std::optional<QString> text = recordTextOf(line, length);
            if (!text)
                continue;
            if (const auto record = acquisition::parseAnyLogRecord(*text, locale_)) {
                first[i] = record->when.toMSecsSinceEpoch();
                break;
            }
        }
    }
    std::stable_sort(order_.begin(), order_.end(),
                     [&](qsizetype a, qsizetype b) { return first[a] < first[b]; });
}

void LogReader::findRange(Input& in)
{
    if (!in.input.searchable() || (!from_.isValid() && !to_.isValid()))
        return;
    QList<std::pair<qint64, qint64>> probes; // offset, time
    const auto timeAt = [&](qint64 offset, qint64* start) -> std::optional<qint64> {
        qint64 at = offset;
        for (int tries = 0; tries < 16; ++tries) {
            qint64 lineStart = -1;
            const QByteArray line = in.input.lineAfter(at, &lineStart);
            if (lineStart < 0 || (line.isEmpty() && lineStart >= in.input.size()))
                return std::nullopt;
            if (const auto text = recordTextOf(line, line.size())) {
                if (const auto record = acquisition::parseAnyLogRecord(*text, locale_)) {
                    *start = lineStart;
                    const qint64 ms = record->when.toMSecsSinceEpoch();
                    probes.append({lineStart, ms});
                    return ms;
                }
            }
            at = lineStart + line.size() + 1;
        }
        return std::nullopt;
    };
    // The first line at or after which every record is at least target, where times only grow.
    const auto bisect = [&](qint64 target) {
        qint64 low = 0;
        qint64 high = in.input.size();
        while (high - low > ReadRather) {
            const qint64 middle = low + (high - low) / 2;
            qint64 start = 0;
            const std::optional<qint64> t = timeAt(middle, &start);
            if (t && *t < target && start > low)
                low = start;
            else
                high = middle;
        }
        return low;
    };
    qint64 start = 0;
    timeAt(0, &start);
    timeAt(std::max<qint64>(0, in.input.size() - ReadRather), &start);
    const qint64 from = from_.isValid() ? bisect(from_.toMSecsSinceEpoch()) : 0;
    qint64 end = -1;
    if (to_.isValid()) {
        const qint64 after = bisect(to_.toMSecsSinceEpoch() + 1);
        // Past the last line that can hold a record of the window: the next line after the bisection's.
        qint64 lineStart = -1;
        const qint64 probe = std::min(in.input.size(), after + ReadRather);
        (void)in.input.lineAfter(probe, &lineStart);
        end = lineStart < 0 || probe >= in.input.size() ? -1 : lineStart;
    }
    // Bisection holds only where the file's times grow with its offsets; a file that steps back in time
    // between the probes is read whole.
    std::sort(probes.begin(), probes.end());
    for (qsizetype i = 1; i < probes.size(); ++i) {
        if (probes.at(i).second < probes.at(i - 1).second)
            return;
    }
    qint64 lineStart = 0;
    if (from > 0) {
        (void)in.input.lineAfter(from, &lineStart);
        if (lineStart < 0)
            return;
    }
    in.ranged = true;
    in.start = lineStart;
    in.end = end;
}

LogReader::Pass LogReader::read(const std::function<void(const acquisition::LogRecord&)>& record,
                                const std::function<void(const File&)>& file)
{
    if (!ordered_)
        order();
    QDate previousDate;
    int previousHour = -1;
    const qint64 fromMs = from_.isValid() ? from_.toMSecsSinceEpoch() : 0;
    const qint64 toMs = to_.isValid() ? to_.toMSecsSinceEpoch() : 0;
    for (const qsizetype index : std::as_const(order_)) {
        Input& in = *inputs_.at(std::size_t(index));
        in.input.keepStandardInput(false);
        File report;
        report.path = in.path;
        if (!std::exchange(in.searched, true))
            findRange(in);
        if (!rewind(in)) {
            report.readError = QStringLiteral("cannot be read again");
            file(report);
            continue;
        }
        in.read = true;
        report.linesFromWindow = in.ranged && in.start > 0;
        QByteArrayView line;
        qsizetype length = 0;
        std::optional<QString> text;
        while (in.input.nextLine(line, length)) {
            const qsizetype lineNumber = in.input.lineNumber();
            text.reset();
            std::optional<acquisition::LogRecord> r =
                readLogLine(report.problems, lineNumber, line, length, locale_, finder_ ? &text : nullptr);
            if (finder_ && text &&
                (index > sampleFile_ || (index == sampleFile_ && lineNumber > sampleLine_))) {
                const bool newHour =
                    r && (r->when.date() != previousDate || r->when.time().hour() != previousHour);
                finder_->confirm(*text, r, newHour);
            }
            if (!r)
                continue;
            previousDate = r->when.date();
            previousHour = r->when.time().hour();
            if (from_.isValid() || to_.isValid()) {
                const qint64 ms = r->when.toMSecsSinceEpoch();
                if ((from_.isValid() && ms < fromMs) || (to_.isValid() && ms > toMs))
                    continue;
            }
            record(*r);
        }
        report.readError = in.input.error();
        file(report);
    }
    return finder_ && !finder_->finish() ? Pass::LocaleInDoubt : Pass::Done;
}

} // namespace quorvel::logfile
