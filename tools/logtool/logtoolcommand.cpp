#include "logtoolcommand.h"

#include "csvoutput.h"
#include "logpasses.h"
#include "logtooloptions.h"
#include "pngrenderer.h"
#include "sensorstatistics.h"

#include "logfile/plotlayout.h"
#include "logfile/svgrenderer.h"
#include "runtime/conversions.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QSaveFile>

#include <optional>
#include <variant>

namespace quorvel::logtool {

namespace {

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

class StatisticsSink final : public RecordSink {
public:
    [[nodiscard]] bool begin() override
    {
        statistics = StatisticsAccumulator();
        return true;
    }
    void add(const acquisition::LogRecord& record) override { statistics.add(record); }

    StatisticsAccumulator statistics;
};

class EnvelopeSink final : public RecordSink {
public:
    EnvelopeSink(QSize size, const QStringList& names) : size_(size), names_(names) {}
    [[nodiscard]] bool begin() override
    {
        envelope.emplace(logfile::PlotLayout::columns(size_, names_));
        return true;
    }
    void add(const acquisition::LogRecord& record) override { envelope->add(record); }

    std::optional<logfile::PlotEnvelope> envelope;

private:
    QSize size_;
    const QStringList& names_;
};

int csv(LogPasses& passes, const Options& o, QIODevice& out, QIODevice& err)
{
    CsvOutput csv(passes, o.output, out, err);
    if (!passes.read(csv) || !csv.finish())
        return LogToolCommand::Failure;
    return passes.exitStatus();
}

int stats(LogPasses& passes, const Options& o, QIODevice& out, QIODevice& err)
{
    StatisticsSink sink;
    if (!passes.read(sink))
        return LogToolCommand::Failure;
    const LogFigures figures = sink.statistics.figures(o.staleRecords, o.gapFactor);
    const QByteArray data = o.csvStats
                                ? SensorStatistics::csv(figures, passes.names())
                                : SensorStatistics::table(figures, o.staleRecords, passes.names()).toUtf8();
    if (!data.isEmpty() && !writeOutput(o.output, data, out, err))
        return LogToolCommand::Failure;
    return passes.exitStatus();
}

int plot(LogPasses& passes, const Options& o, QIODevice& out, QIODevice& err)
{
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        write(err, QStringLiteral("quorvel3-logtool: plot needs a QGuiApplication\n"));
        return LogToolCommand::Failure;
    }
    EnvelopeSink sink(o.size, passes.names());
    if (!passes.read(sink))
        return LogToolCommand::Failure;
    const logfile::PlotScene scene = logfile::PlotLayout::layout(
        *sink.envelope, o.size, plotTitle(o.files, passes.records()), o.gapFactor, passes.names());
    sink.envelope.reset();
    if (QFileInfo(o.output).suffix().toLower() == QLatin1String("svg")) {
        const QByteArray data = logfile::SvgRenderer::render(scene);
        if (!data.isEmpty() && !writeOutput(o.output, data, out, err))
            return LogToolCommand::Failure;
        return passes.exitStatus();
    }
    QSaveFile image(o.output);
    if (!image.open(QIODevice::WriteOnly) || !PngRenderer::render(scene).save(&image, "PNG") ||
        !image.commit()) {
        write(err,
              QStringLiteral("quorvel3-logtool: %1: cannot write: %2\n").arg(o.output, image.errorString()));
        return LogToolCommand::Failure;
    }
    return passes.exitStatus();
}

} // namespace

int LogToolCommand::run(const QStringList& arguments, QIODevice& out, QIODevice& err)
{
    const auto parsed = parseOptions(arguments);
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
    LogPasses passes(o, err);
    if (!passes.open())
        return Failure;
    if (o.command == QLatin1String("csv"))
        return csv(passes, o, out, err);
    if (o.command == QLatin1String("stats"))
        return stats(passes, o, out, err);
    return plot(passes, o, out, err);
}

} // namespace quorvel::logtool
