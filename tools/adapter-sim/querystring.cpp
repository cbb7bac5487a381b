#include "querystring.h"

namespace quorvel::adaptersim {

QList<QPair<QByteArray, QByteArray>> queryItems(QByteArrayView encodedQuery)
{
    QList<QPair<QByteArray, QByteArray>> items;
    for (const QByteArray& item : encodedQuery.toByteArray().split('&')) {
        if (item.isEmpty())
            continue;
        const qsizetype eq = item.indexOf('=');
        const QByteArray key = eq < 0 ? item : item.left(eq);
        const QByteArray value = eq < 0 ? QByteArray() : item.mid(eq + 1);
        items.append({QByteArray::fromPercentEncoding(key), QByteArray::fromPercentEncoding(value)});
    }
    return items;
}

std::optional<QByteArray> queryValue(QByteArrayView encodedQuery, QByteArrayView key)
{
    for (const auto& [name, value] : queryItems(encodedQuery)) {
        if (name == key)
            return value;
    }
    return std::nullopt;
}

} // namespace quorvel::adaptersim
