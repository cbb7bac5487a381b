#include "service/history/samplecolumns.h"

#include "service/history/sqlstatement.h"

#include <numeric>

namespace quorvel::service::history {

namespace {

std::optional<double> degrees(const SqlStatement& query, int column)
{
    const std::optional<qint64> milli = query.optional(column);
    return milli ? std::optional<double>(fromMilli(*milli)) : std::nullopt;
}

// Each outcome's count from the stored text; a count the text does not name (a later release's outcome) stays
// a read error, so the row's failed reads add up.
std::array<int, acquisition::ReadOutcomeCount> failuresOf(const QString& text, int failed)
{
    std::array<int, acquisition::ReadOutcomeCount> failures = parseFailures(text);
    const int named = std::accumulate(failures.begin() + 1, failures.end(), 0);
    if (failed > named)
        failures[static_cast<std::size_t>(acquisition::ReadOutcome::ReadError)] += failed - named;
    return failures;
}

} // namespace

void readSampleColumns(const SqlStatement& query, int first, SampleRow& row)
{
    row.last = degrees(query, first);
    row.raw = degrees(query, first + 1);
    // Raw is stored only where the calibration made it differ.
    if (!row.raw)
        row.raw = row.last;
    row.min = degrees(query, first + 2);
    row.max = degrees(query, first + 3);
    row.mean = degrees(query, first + 4);
    row.reads = static_cast<int>(query.integer(first + 5));
    const int failed = static_cast<int>(query.integer(first + 6));
    if (failed > 0)
        row.failures = failuresOf(query.text(first + 7), failed);
}

} // namespace quorvel::service::history
