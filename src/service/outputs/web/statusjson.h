#pragma once

#include <QByteArray>
#include <QDateTime>

namespace quorvel::service {

class StateStore;

namespace statuspage {

// The version of /readings.json's schema; a change that takes or renames a field raises it.
inline constexpr int ReadingsSchemaVersion = 3;

// /readings.json: every source and sensor as data, and per source the texts the page shows of them.
[[nodiscard]] QByteArray readingsJson(const StateStore& store, const QDateTime& now);

} // namespace statuspage

} // namespace quorvel::service
