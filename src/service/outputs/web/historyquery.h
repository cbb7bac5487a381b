#pragma once

#include "service/http/httpquery.h"

#include <QString>

#include <array>
#include <variant>

namespace quorvel::service::statuspage {

// A span the chart offers: its value of "range", its link text, its title, its length (0: since the oldest
// row kept).
struct ChartRange {
    const char* key;
    const char* label;
    const char* title;
    qint64 seconds;
};
inline constexpr std::array<ChartRange, 5> ChartRanges{{
    {"24h", "24 h", "The last 24 hours", 24 * 3600},
    {"7d", "7 d", "The last 7 days", 7 * 24 * 3600},
    {"30d", "30 d", "The last 30 days", 30 * 24 * 3600},
    {"1y", "1 y", "The last year", 365 * 24 * 3600},
    {"all", "all", "All the readings kept", 0},
}};
// The range the query's "range" names, the first when it names none; nullptr for one not offered.
[[nodiscard]] const ChartRange* chartRange(const HttpQuery& query);

// What /history.json and /export.csv are asked for: [from, to) in UTC seconds, the step asked (0: none),
// one ROM code or every sensor.
struct HistoryRequest {
    qint64 from = 0;
    qint64 to = 0;
    qint64 step = 0;
    QString romCode;
};
// A range longer than this is refused: no chart or export of it means anything.
inline constexpr qint64 MaxRequestSeconds = qint64(100) * 36525 * 864;

// The request the query makes, the last day up to now by default; or why it is refused. A time is epoch
// seconds or ISO 8601, in the box's time zone when it names none.
[[nodiscard]] std::variant<HistoryRequest, QString> historyRequest(const HttpQuery& query, qint64 now);

} // namespace quorvel::service::statuspage
