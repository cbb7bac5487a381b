#include "service/outputs/web/historycsv.h"

#include "runtime/localeformats.h"

#include <QDateTime>
#include <QStringList>

#include <cmath>

namespace quorvel::service::statuspage {

namespace {

QString number(const std::optional<double>& value)
{
    // Thousandths, as the store keeps them, written as short as they read back; never "-0".
    return value
               ? QString::number(std::round(*value * 1000) / 1000 + 0.0, 'f', QLocale::FloatingPointShortest)
               : QString();
}

} // namespace

QByteArray exportHeader()
{
    return "time,source,rom,name,last,raw,min,max,mean,reads,failed,failures\r\n";
}

QString csvField(const QString& text)
{
    QString field = text;
    if (!field.isEmpty() && QStringView(u"=+-@").contains(field.front()))
        field.prepend(u'\'');
    if (field.contains(u',') || field.contains(u'"') || field.contains(u'\n') || field.contains(u'\r'))
        field = u'"' + field.replace(u'"', QStringLiteral("\"\"")) + u'"';
    return field;
}

QByteArray exportLine(const history::SampleRow& row)
{
    // The store keeps no raw value where it equals the last.
    const std::optional<double> raw = row.raw ? row.raw : row.last;
    const QStringList fields{
        runtime::isoWithOffset(QDateTime::fromSecsSinceEpoch(row.time)),
        csvField(row.source),
        csvField(row.romCode),
        csvField(row.name),
        number(row.last),
        number(raw),
        number(row.min),
        number(row.max),
        number(row.mean),
        QString::number(row.reads),
        QString::number(row.failed()),
        history::failuresText(row.failures),
    };
    return fields.join(u',').toUtf8() + "\r\n";
}

QByteArray exportFileName(qint64 from, qint64 to)
{
    const auto stamp = [](qint64 seconds) {
        return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyyMMdd'T'HHmm")).toLatin1();
    };
    return "quorvel3d-" + stamp(from) + '-' + stamp(to) + ".csv";
}

HttpListener::Answer::Producer exportProducer(std::unique_ptr<history::HistoryReader::Cursor> cursor)
{
    struct State {
        std::unique_ptr<history::HistoryReader::Cursor> cursor;
        bool headerSent = false;
        bool done = false;
    };
    auto state = std::make_shared<State>(State{std::move(cursor)});
    return [state]() -> std::optional<QByteArray> {
        if (!std::exchange(state->headerSent, true))
            return exportHeader();
        QByteArray chunk;
        while (chunk.isEmpty() && !state->done) {
            QList<history::SampleRow> rows;
            state->done = !state->cursor->next(rows, ExportChunkRows);
            if (state->done && !state->cursor->error().isEmpty())
                return std::nullopt;
            for (const history::SampleRow& row : rows)
                chunk += exportLine(row);
        }
        return chunk;
    };
}

} // namespace quorvel::service::statuspage
