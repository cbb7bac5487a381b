#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>

#include <optional>

namespace quorvel::adaptersim {

// Splits a still percent-encoded query at '&' and '=' before decoding, so an encoded "%26" or "%3D" inside
// a value stays in that value.
[[nodiscard]] QList<QPair<QByteArray, QByteArray>> queryItems(QByteArrayView encodedQuery);

// Decoded value of the first item named key.
[[nodiscard]] std::optional<QByteArray> queryValue(QByteArrayView encodedQuery, QByteArrayView key);

} // namespace quorvel::adaptersim
