#pragma once

#include "service/history/historyreader.h"

#include <QByteArray>
#include <QString>

namespace quorvel::service::statuspage {

// /chart.svg of a range from the store: each sensor's bucket means as a line over a translucent band from
// its lowest to its highest read, a gap where a bucket had no good read; [from, to) in UTC seconds.
[[nodiscard]] QByteArray historyChartSvg(const QList<history::Series>& series, qint64 from, qint64 to,
                                         qint64 step, const QString& title);

} // namespace quorvel::service::statuspage
