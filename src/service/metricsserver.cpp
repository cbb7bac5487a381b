#include "metricsserver.h"

namespace quorvel::service {

MetricsServer::MetricsServer(Render render, QObject* parent) : QObject(parent), listener_(HttpLimits{}, this)
{
    listener_.addRoute("/metrics", [render = std::move(render)](const HttpRequestHead&) {
        return HttpListener::Answer{200, "text/plain; version=0.0.4; charset=utf-8", {}, render()};
    });
}

MetricsServer::Bound MetricsServer::listenOn(const MetricsEndpoint& endpoint)
{
    return listener_.listen(endpoint.address, endpoint.port);
}

} // namespace quorvel::service
