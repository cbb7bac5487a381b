#pragma once

#include "logrecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

namespace quorvel::logfile {

// Text forms shared by every output of the tool, independent of any locale.
class CsvExport {
public:
    // A field as RFC 4180 has it: quoted, with inner quotes doubled, when it holds a comma, a quote,
    // CR or LF; otherwise as it is.
    [[nodiscard]] static QString field(QStringView text);
    // One row: the fields joined by commas, ending in CR LF.
    [[nodiscard]] static QString row(const QStringList& fields);
    // The shortest text that reads back as the same float, "." as decimal point ("23.5625", "-55",
    // "1e+39").
    [[nodiscard]] static QString reading(float value);
    // ISO 8601 local time with its offset from UTC: "2007-03-14T22:05:42-04:00", "+00:00" for UTC.
    // Empty for an invalid time.
    [[nodiscard]] static QString timestamp(const QDateTime& when);

    // The header row of a document of that many sensor columns (see document()).
    [[nodiscard]] static QByteArray header(qsizetype columns, const QStringList& names = {});
    // Appends one record's row with that many sensor columns, as document() writes it.
    static void appendRow(QByteArray& out, const acquisition::LogRecord& record, qsizetype columns);

    // The whole document: a header row "timestamp,sensor1,...,sensorN", then one row per record, with
    // one column per sensor of the widest logging period (N; 13 without records) and empty fields where
    // a record has fewer readings. A sensor with a name in names (slot order) is headed by it instead.
    [[nodiscard]] static QByteArray document(const QList<acquisition::LogRecord>& records,
                                             const QStringList& names = {});
};

} // namespace quorvel::logfile
