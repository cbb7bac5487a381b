#include "service/outputs/web/statusserver.h"

#include "service/http/securelistener.h"
#include "service/outputs/web/servicemetrics.h"
#include "service/outputs/web/statuschart.h"
#include "service/outputs/web/statusjson.h"
#include "service/outputs/web/statuspage.h"
#include "service/state/statestore.h"

namespace quorvel::service {

StatusServer::StatusServer(const StateStore& store, const ServiceMetrics& metrics, QObject* parent,
                           HttpLimits limits)
    : QObject(parent), listener_(limits, this), clock_(&QDateTime::currentDateTime)
{
    listener_.setCommonHeaders({
        {"Content-Security-Policy", statuspage::contentSecurityPolicy()},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    });
    age_.start();
    listener_.addRoute("/", [this, &store](const HttpRequestHead&) {
        return HttpListener::Answer{200, "text/html; charset=utf-8", {}, fresh(page_, [&] {
                                        return statuspage::html(store, clock_());
                                    })};
    });
    listener_.addRoute("/readings.json", [this, &store](const HttpRequestHead&) {
        return HttpListener::Answer{200, "application/json", {}, fresh(json_, [&] {
                                        return statuspage::readingsJson(store, clock_());
                                    })};
    });
    listener_.addRoute("/chart.svg", [this, &store](const HttpRequestHead&) {
        const QDateTime now = clock_();
        if (const qint64 minute = now.toSecsSinceEpoch() / 60; minute != chartMinute_) {
            chart_ = statuspage::chartSvg(store, now);
            chartMinute_ = minute;
        }
        return HttpListener::Answer{200, "image/svg+xml", {}, chart_};
    });
    listener_.addRoute("/metrics", [this, &metrics](const HttpRequestHead&) {
        return HttpListener::Answer{200, "text/plain; version=0.0.4; charset=utf-8", {}, fresh(metrics_, [&] {
                                        return metrics.exposition();
                                    })};
    });
}

QByteArray StatusServer::fresh(Rendered& rendered, const std::function<QByteArray()>& render)
{
    if (const qint64 now = age_.elapsed(); rendered.atMs < 0 || now - rendered.atMs >= RenderEveryMs) {
        rendered.body = render();
        rendered.atMs = now;
    }
    return rendered.body;
}

StatusServer::~StatusServer() = default;

std::optional<QString> StatusServer::configure(const WebConfig& config)
{
    tls_ = secureListener(listener_, config, "quorvel3d");
    return std::nullopt;
}

HttpListener::Bound StatusServer::listenOn(const ListenEndpoint& endpoint)
{
    return listener_.listen(endpoint.address, endpoint.port);
}

} // namespace quorvel::service
