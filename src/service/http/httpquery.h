#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace quorvel::service {

// A request's query string as parameters: "a=1&b=x+y%21" gives a = "1" and b = "x y!". A name given twice
// keeps its first value; a name without "=" has an empty value.
class HttpQuery {
public:
    // Parameters past this many are ignored: no query costs more than a few look-ups.
    static constexpr int MaxParameters = 32;

    explicit HttpQuery(QByteArrayView raw);

    // The decoded value of the parameter named so; nothing when it is absent.
    [[nodiscard]] std::optional<QString> value(QByteArrayView name) const;

    // Percent-decodes text, '+' as a space; a '%' not followed by two hex digits stays as it is.
    [[nodiscard]] static QByteArray decode(QByteArrayView text);

private:
    QList<std::pair<QByteArray, QString>> parameters_;
};

} // namespace quorvel::service
