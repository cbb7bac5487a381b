#include "lineprotocol.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace quorvel::service::influx {

namespace {

// A newline in a name would end the line early, so it never gets that far.
QByteArray escaped(const QString& text, QByteArrayView special)
{
    QByteArray out;
    const QByteArray utf8 = text.toUtf8();
    out.reserve(utf8.size());
    for (const char c : utf8) {
        if (c == '\n' || c == '\r') {
            out += ' ';
            continue;
        }
        if (special.contains(c))
            out += '\\';
        out += c;
    }
    return out;
}

QByteArray tagText(const QString& text)
{
    return escaped(text, ", =\\");
}

void addField(QByteArray& line, const char* key, const std::optional<double>& value)
{
    if (!value)
        return;
    const std::optional<QByteArray> text = shortestFloat(*value);
    if (!text)
        return;
    line += key;
    line += '=';
    line += *text;
    line += ',';
}

} // namespace

std::optional<QByteArray> shortestFloat(double value)
{
    if (!std::isfinite(value))
        return std::nullopt;
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return QByteArray(buffer.data(), result.ptr - buffer.data());
}

QByteArray sampleLine(const LineShape& shape, const history::SampleRow& sample)
{
    QList<QPair<QString, QString>> tags{{QStringLiteral("host"), shape.host},
                                        {QStringLiteral("source"), sample.source},
                                        {QStringLiteral("rom"), sample.romCode},
                                        {QStringLiteral("name"), sample.name}};
    const qsizetype own = tags.size();
    for (const auto& extra : shape.tags) {
        const auto it = std::find_if(tags.begin(), tags.begin() + own,
                                     [&extra](const auto& tag) { return tag.first == extra.first; });
        if (it != tags.begin() + own)
            it->second = extra.second;
        else
            tags.append(extra);
    }

    // A backslash too: one left bare before an escaped space would swallow the escape and cut the name.
    QByteArray line = escaped(shape.measurement, ", \\");
    for (const auto& [key, value] : tags) {
        if (key.isEmpty() || value.isEmpty())
            continue;
        line += ',' + tagText(key) + '=' + tagText(value);
    }
    line += ' ';
    addField(line, "celsius", sample.last);
    addField(line, "raw", sample.raw);
    addField(line, "min", sample.min);
    addField(line, "max", sample.max);
    line += "reads=" + QByteArray::number(sample.reads) +
            "i,failures=" + QByteArray::number(sample.failed()) + "i " + QByteArray::number(sample.time) +
            '\n';
    return line;
}

QByteArray gzipped(const QByteArray& data)
{
    z_stream stream{};
    // 16 over the window's bits asks for the gzip wrapper rather than zlib's own.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))) + 32, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int status = deflate(&stream, Z_FINISH);
    const auto written = qsizetype(stream.total_out);
    deflateEnd(&stream);
    if (status != Z_STREAM_END)
        return {};
    out.truncate(written);
    return out;
}

} // namespace quorvel::service::influx
