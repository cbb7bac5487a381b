#include "service/outputs/web/historyquery.h"

#include <QDateTime>

#include <optional>

namespace quorvel::service::statuspage {

namespace {

// Years 1 to 9999: what a time can be written as.
constexpr qint64 EarliestSeconds = -62135596800;
constexpr qint64 LatestSeconds = 253402300799;

std::optional<qint64> parseTime(const QString& text)
{
    bool number = false;
    qint64 seconds = text.toLongLong(&number);
    if (!number) {
        const QDateTime when = QDateTime::fromString(text, Qt::ISODateWithMs);
        if (!when.isValid())
            return std::nullopt;
        seconds = when.toSecsSinceEpoch();
    }
    if (seconds < EarliestSeconds || seconds > LatestSeconds)
        return std::nullopt;
    return seconds;
}

} // namespace

const ChartRange* chartRange(const HttpQuery& query)
{
    const std::optional<QString> key = query.value("range");
    if (!key)
        return &ChartRanges.front();
    for (const ChartRange& range : ChartRanges)
        if (*key == QLatin1String(range.key))
            return &range;
    return nullptr;
}

std::variant<HistoryRequest, QString> historyRequest(const HttpQuery& query, qint64 now)
{
    HistoryRequest request;
    std::optional<qint64> from;
    std::optional<qint64> to;
    for (auto [name, time] : {std::pair{"from", &from}, std::pair{"to", &to}})
        if (const std::optional<QString> text = query.value(name)) {
            *time = parseTime(*text);
            if (!*time)
                return QStringLiteral("%1 is neither epoch seconds nor an ISO 8601 time").arg(name);
        }
    request.to = to.value_or(now);
    request.from = from.value_or(request.to - ChartRanges.front().seconds);
    if (request.from >= request.to)
        return QStringLiteral("from is not before to");
    if (request.to - request.from > MaxRequestSeconds)
        return QStringLiteral("the range is longer than 100 years");
    if (const std::optional<QString> step = query.value("step")) {
        bool number = false;
        request.step = step->toLongLong(&number);
        if (!number || request.step < 0 || request.step > MaxRequestSeconds)
            return QStringLiteral("step is not a number of seconds");
    }
    request.romCode = query.value("rom").value_or(QString());
    return request;
}

} // namespace quorvel::service::statuspage
