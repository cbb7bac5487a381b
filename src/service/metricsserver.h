#pragma once

#include "httplistener.h"
#include "serviceoptions.h"

#include <QByteArray>
#include <QObject>

#include <functional>

namespace quorvel::service {

// Serves GET /metrics in the Prometheus text format on an HttpListener with the service's bounds. The
// text is rendered in the event loop's thread from counters the loop already keeps, so a request never
// waits on the cycle, and the listener's bounds keep the cycle from waiting on a client.
class MetricsServer final : public QObject {
    Q_OBJECT
public:
    using Render = std::function<QByteArray()>;
    using Bound = HttpListener::Bound;

    explicit MetricsServer(Render render, QObject* parent = nullptr);

    // Binds the address given and nothing else. The bound port, or the system's reason.
    [[nodiscard]] Bound listenOn(const MetricsEndpoint& endpoint);

private:
    HttpListener listener_;
};

} // namespace quorvel::service
