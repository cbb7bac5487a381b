#pragma once

#include "service/history/historyreader.h"
#include "service/http/httplistener.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace quorvel::service::statuspage {

// Rows read from the store for each chunk of /export.csv: a few tens of kilobytes.
inline constexpr int ExportChunkRows = 500;

// The header line of /export.csv; then a line per sample, times with the box's UTC offset.
[[nodiscard]] QByteArray exportHeader();
[[nodiscard]] QByteArray exportLine(const history::SampleRow& row);
// A text as a CSV field: quoted when it holds a comma, a quote or a line break, and one that a spreadsheet
// would take for a formula (=, +, -, @) led by an apostrophe.
[[nodiscard]] QString csvField(const QString& text);
// "quorvel3d-FROM-TO.csv", the times in the box's time zone.
[[nodiscard]] QByteArray exportFileName(qint64 from, qint64 to);
// The header, then the cursor's rows a chunk at a time; a cursor that fails ends the answer unfinished.
[[nodiscard]] HttpListener::Answer::Producer
exportProducer(std::unique_ptr<history::HistoryReader::Cursor> cursor);

} // namespace quorvel::service::statuspage
