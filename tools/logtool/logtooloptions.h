#pragma once

#include "sensorstatistics.h"

#include "logfile/logruns.h"

#include <QDateTime>
#include <QLocale>
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace quorvel::logtool {

inline constexpr const char* Usage = "Usage: quorvel3-logtool COMMAND [options] FILE...";

// The command line, checked.
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

// Why the command line is no good.
struct Failed {
    QString message;
};

// The options, the reason they are no good, or the text that --help or --version asks for.
[[nodiscard]] std::variant<Options, Failed, QString> parseOptions(const QStringList& arguments);

} // namespace quorvel::logtool
