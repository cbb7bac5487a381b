#pragma once

#include <QByteArray>

namespace quorvel::service {

class HttpListener;
struct WebConfig;

// Puts the web configuration on a listener: TLS with its certificate and key when it names them, a login
// against its users when it has any, checked by a BasicAuth the listener owns. Whether TLS is spoken.
bool secureListener(HttpListener& listener, const WebConfig& config, const QByteArray& realm);

} // namespace quorvel::service
