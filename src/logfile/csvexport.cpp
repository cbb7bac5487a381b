#include "csvexport.h"

#include "logruns.h"

#include "runtime/localeformats.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

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
    // Qt writes a zero offset as "Z"; every row keeps the same shape instead.
    QString text = runtime::isoWithOffset(when);
    if (text.endsWith(QLatin1Char('Z'))) {
        text.chop(1);
        text += QStringLiteral("+00:00");
    }
    return text;
}

QByteArray CsvExport::header(qsizetype columns, const QStringList& names)
{
    QStringList header{QStringLiteral("timestamp")};
    for (qsizetype slot = 0; slot < columns; ++slot) {
        const QString name = names.value(slot);
        header << (name.isEmpty() ? QStringLiteral("sensor%1").arg(slot + 1) : name);
    }
    return row(header).toUtf8();
}

namespace {

void appendNumber(char*& at, int value, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        at[i] = char('0' + value % 10);
        value /= 10;
    }
    at += digits;
}

} // namespace

void CsvExport::appendRow(QByteArray& out, const acquisition::LogRecord& record, qsizetype columns)
{
    // The fields are times and numbers, which never need quotes; the common time is written here
    // directly, the same text timestamp() gives.
    char buffer[64];
    const QDate date = record.when.date();
    const QTime time = record.when.time();
    if (record.when.isValid() && date.year() >= 1 && date.year() <= 9999 && time.msec() == 0) {
        char* at = buffer;
        appendNumber(at, date.year(), 4);
        *at++ = '-';
        appendNumber(at, date.month(), 2);
        *at++ = '-';
        appendNumber(at, date.day(), 2);
        *at++ = 'T';
        appendNumber(at, time.hour(), 2);
        *at++ = ':';
        appendNumber(at, time.minute(), 2);
        *at++ = ':';
        appendNumber(at, time.second(), 2);
        const int offset = record.when.offsetFromUtc();
        *at++ = offset < 0 ? '-' : '+';
        const int minutes = std::abs(offset) / 60;
        appendNumber(at, minutes / 60, 2);
        *at++ = ':';
        appendNumber(at, minutes % 60, 2);
        if (std::abs(offset) % 60 == 0)
            out.append(buffer, at - buffer);
        else
            out += timestamp(record.when).toUtf8();
    } else {
        out += timestamp(record.when).toUtf8();
    }
    for (const float value : record.readings) {
        buffer[0] = ',';
        const std::to_chars_result result = std::to_chars(buffer + 1, buffer + sizeof buffer, value);
        out.append(buffer, result.ptr - buffer);
    }
    for (qsizetype slot = record.readings.size(); slot < columns; ++slot)
        out += ',';
    out += "\r\n";
}

QByteArray CsvExport::document(const QList<acquisition::LogRecord>& records, const QStringList& names)
{
    qsizetype columns = LogRuns::widestCount(records);
    if (columns == 0)
        columns = names.isEmpty() ? qsizetype(acquisition::LogRecord::ReadingCount) : names.size();
    QByteArray out = header(columns, names);
    out.reserve(out.size() + records.size() * 160);
    for (const acquisition::LogRecord& record : records)
        appendRow(out, record, columns);
    return out;
}

} // namespace quorvel::logfile
