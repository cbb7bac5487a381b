#pragma once

#include <QByteArray>
#include <QDateTime>

namespace quorvel::service {

class StateStore;

// The status page, rendered whole by the server from the state store: the page needs no script to show
// everything, and its small script only refreshes it in place from /readings.json, with the texts that
// carries.
namespace statuspage {

[[nodiscard]] QByteArray html(const StateStore& store, const QDateTime& now);
// What the page's responses allow: nothing but the page itself, its own style and script.
[[nodiscard]] QByteArray contentSecurityPolicy();

} // namespace statuspage

} // namespace quorvel::service
