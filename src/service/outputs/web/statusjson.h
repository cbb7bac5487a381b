#pragma once

#include <QByteArray>
#include <QDateTime>

namespace quorvel::service {

class StateStore;

namespace history {
class HistoryStore;
}

namespace statuspage {

// The version of /readings.json's schema; a change that takes or renames a field raises it.
inline constexpr int ReadingsSchemaVersion = 3;

// /readings.json: every source and sensor as data, and per source the texts the page shows of them; with a
// history store, each sensor's good reads since midnight.
[[nodiscard]] QByteArray readingsJson(const StateStore& store, const QDateTime& now,
                                      const history::HistoryStore* history = nullptr);

} // namespace statuspage

} // namespace quorvel::service
