#pragma once

#include "service/outputs/web/historyquery.h"

#include <QByteArray>
#include <QDateTime>

namespace quorvel::service {

class StateStore;

// The status page, rendered whole by the server from the state store: the page needs no script to show
// everything, and its small script only refreshes it in place from /readings.json, with the texts that
// carries.
namespace statuspage {

// The chart the page shows under its tables; with a store, every range is offered and the CSV of the one
// shown, [from, to) in UTC seconds.
struct PageChart {
    const ChartRange* range = &ChartRanges.front();
    bool history = false;
    qint64 from = 0;
    qint64 to = 0;
};

[[nodiscard]] QByteArray html(const StateStore& store, const QDateTime& now, const PageChart& chart = {});
// What the page's responses allow: nothing but the page itself, its own style and script.
[[nodiscard]] QByteArray contentSecurityPolicy();

} // namespace statuspage

} // namespace quorvel::service
