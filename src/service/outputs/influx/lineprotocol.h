#pragma once

#include "service/history/historyrows.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace quorvel::service::influx {

// What every line of one output carries besides the sample: the measurement and the tags, in their order.
struct LineShape {
    QString measurement;
    QString host;
    // After host, source, rom and name; one of those four named here replaces it in place.
    QList<QPair<QString, QString>> tags;
};

// One sample as a line of the line protocol, with its newline: the tags escaped, an empty one left out, the
// floats in their shortest exact text, the time in seconds. A sample without a good read carries only its
// counts.
[[nodiscard]] QByteArray sampleLine(const LineShape& shape, const history::SampleRow& sample);

// The shortest text that reads back as exactly this value; nothing for what the protocol cannot carry.
[[nodiscard]] std::optional<QByteArray> shortestFloat(double value);

// Data gzip-compressed as a whole (a member with its header and trailer); empty when zlib fails.
[[nodiscard]] QByteArray gzipped(const QByteArray& data);

} // namespace quorvel::service::influx
