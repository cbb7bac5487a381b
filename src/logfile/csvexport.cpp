#include "csvexport.h"

#include "logruns.h"

#include <algorithm>
#include <charconv>

namespace quorvel::logfile {

QString CsvExport::field(QStringView text)
{
    const bool needsQuotes = std::any_of(text.begin(), text.end(), [](QChar c) {
        return c == QLatin1Char(',') || c == QLatin1Char('"') || c == QLatin1Char('\r') ||
               c == QLatin1Char('\n');
    });
    if (!needsQuotes)
        return text.toString();
    QString quoted = text.toString();
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString CsvExport::row(const QStringList& fields)
{
    QString line;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += QLatin1Char(',');
        line += field(fields.at(i));
    }
    return line + QStringLiteral("\r\n");
}

QString CsvExport::reading(float value)
{
    char buf[64];
    const std::to_chars_result result = std::to_chars(buf, buf + sizeof buf, value);
    return QString::fromLatin1(buf, result.ptr - buf);
}

QString CsvExport::timestamp(const QDateTime& when)
{
    if (!when.isValid())
        return {};
    // Qt writes a zero offset as "Z"; every row keeps the same shape instead.
    QString text = when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODate);
    if (text.endsWith(QLatin1Char('Z'))) {
        text.chop(1);
        text += QStringLiteral("+00:00");
    }
    return text;
}

QByteArray CsvExport::document(const QList<acquisition::LogRecord>& records, const QStringList& names)
{
    qsizetype columns = LogRuns::widestCount(records);
    if (columns == 0)
        columns = names.isEmpty() ? qsizetype(acquisition::LogRecord::ReadingCount) : names.size();
    QStringList header{QStringLiteral("timestamp")};
    for (qsizetype slot = 0; slot < columns; ++slot) {
        const QString name = names.value(slot);
        header << (name.isEmpty() ? QStringLiteral("sensor%1").arg(slot + 1) : name);
    }

    QByteArray out = row(header).toUtf8();
    out.reserve(out.size() + records.size() * 160);
    QStringList fields;
    for (const acquisition::LogRecord& record : records) {
        fields.clear();
        fields << timestamp(record.when);
        for (const float value : record.readings)
            fields << reading(value);
        for (qsizetype slot = record.readings.size(); slot < columns; ++slot)
            fields << QString();
        out += row(fields).toUtf8();
    }
    return out;
}

} // namespace quorvel::logfile
