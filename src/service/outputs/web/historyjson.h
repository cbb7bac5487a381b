#pragma once

#include "service/history/historyreader.h"
#include "service/outputs/web/historyquery.h"

#include <QByteArray>
#include <QJsonValue>

#include <cmath>

namespace quorvel::service::statuspage {

// A temperature as JSON: rounded to the thousandths the store keeps, so that it prints as short as it
// reads back.
[[nodiscard]] inline QJsonValue milliValue(double value)
{
    return std::round(value * 1000) / 1000 + 0.0;
}

// /history.json: the request's range and step, and per sensor its points [time, mean, min, max].
[[nodiscard]] QByteArray historyJson(const HistoryRequest& request, const QList<history::Series>& series);
// What /history.json says when it cannot answer.
[[nodiscard]] QByteArray errorJson(const QString& message);

} // namespace quorvel::service::statuspage
