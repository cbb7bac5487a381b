#include "service/http/httpquery.h"

namespace quorvel::service {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

QByteArray HttpQuery::decode(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
                   hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

HttpQuery::HttpQuery(QByteArrayView raw)
{
    for (qsizetype from = 0; from <= raw.size() && parameters_.size() < MaxParameters;) {
        qsizetype end = raw.indexOf('&', from);
        if (end < 0)
            end = raw.size();
        const QByteArrayView pair = raw.sliced(from, end - from);
        from = end + 1;
        if (pair.isEmpty())
            continue;
        const qsizetype equals = pair.indexOf('=');
        const QByteArray name = decode(equals < 0 ? pair : pair.first(equals));
        if (value(name))
            continue;
        parameters_.append(
            {name, QString::fromUtf8(equals < 0 ? QByteArray() : decode(pair.sliced(equals + 1)))});
    }
}

std::optional<QString> HttpQuery::value(QByteArrayView name) const
{
    for (const auto& [key, text] : parameters_)
        if (key == name)
            return text;
    return std::nullopt;
}

} // namespace quorvel::service
