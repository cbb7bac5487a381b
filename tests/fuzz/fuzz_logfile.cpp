// A whole log file read by the log tool: every line is either a record or counted as bad, the kept
// errors name ascending lines of the file, and each record, written again as the logger writes it,
// reads back as the same record.
#include "logfile/logrecord.h"
#include "logfile/logfilereader.h"
#include "roundingreference.h"

#include <QByteArrayView>
#include <QLocale>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

using quorvel::logfile::LogFileContents;

// CR LF, LF and a lone CR each end a line; text after the last line end is a line of its own.
qsizetype lineCount(QByteArrayView bytes)
{
    qsizetype lines = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n' || (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')))
            ++lines;
    }
    if (!bytes.isEmpty() && bytes.back() != '\n' && bytes.back() != '\r')
        ++lines;
    return lines;
}

void checkRecordReadsBack(const quorvel::acquisition::LogRecord& record, const QLocale& locale)
{
    const QByteArray line = quorvel::acquisition::composeLogRecord(record, locale).toLocal8Bit();
    const LogFileContents again = quorvel::logfile::readLogFile(line, locale);
    if (again.records.size() != 1 || again.badLines != 0 || again.records.front().when != record.when)
        std::abort();
    for (qsizetype slot = 0; slot < record.readings.size(); ++slot) {
        if (again.records.front().readings[slot] !=
            quorvel::fuzz::roundedToSevenDigits(record.readings[slot]))
            std::abort();
    }
}

void check(QByteArrayView bytes, const QLocale& locale)
{
    const LogFileContents contents = quorvel::logfile::readLogFile(bytes, locale);
    const qsizetype lines = lineCount(bytes);
    if (contents.records.size() + contents.badLines != lines)
        std::abort();
    if (contents.lines != lines)
        std::abort();
    qsizetype counted = 0;
    qsizetype kept = 0;
    for (const auto& problem : contents.problems) {
        if (problem.lines < 1 || problem.first.problem != problem.problem)
            std::abort();
        counted += problem.lines;
        kept += qMin(problem.lines, LogFileContents::MaxKeptErrors);
    }
    if (counted != contents.badLines || contents.errors.size() != kept)
        std::abort();
    qsizetype previous = 0;
    for (const auto& error : contents.errors) {
        if (error.line <= previous || error.line > lines || error.reason.isEmpty())
            std::abort();
        previous = error.line;
    }
    for (const auto& record : contents.records)
        checkRecordReadsBack(record, locale);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const QLocale locales[] = {QLocale(QLocale::English, QLocale::UnitedStates),
                                      QLocale(QLocale::German, QLocale::Germany)};
    const QByteArrayView bytes(data, static_cast<qsizetype>(size));
    for (const QLocale& locale : locales)
        check(bytes, locale);
    return 0;
}
