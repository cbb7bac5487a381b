#pragma once

#include "service/http/listenendpoint.h"

#include "runtime/optiondecl.h"

#include <QString>

#include <optional>

namespace quorvel::service {

// The listener's settings: where it serves (--listen, key listen) and its TLS and logins (--web-config,
// key web_config).
[[nodiscard]] runtime::OptionDecl<std::optional<ListenEndpoint>> listenOptionDecl();
[[nodiscard]] runtime::OptionDecl<QString> webConfigOptionDecl();

// "A.B.C.D:PORT" with a dotted-quad IPv4 address and a port 0 to 65535.
[[nodiscard]] std::optional<ListenEndpoint> parseListenEndpoint(const QString& text);

} // namespace quorvel::service
