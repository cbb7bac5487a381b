#include "metricsserver.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>

namespace quorvel::service {

MetricsServer::MetricsServer(Render render, QObject* parent)
    : QAbstractHttpServer(parent), render_(std::move(render))
{
}

MetricsServer::Bound MetricsServer::listenOn(const MetricsEndpoint& endpoint)
{
    auto* tcp = new QTcpServer(this);
    if (!tcp->listen(endpoint.address, endpoint.port)) {
        const QString error = tcp->errorString();
        delete tcp;
        return {0, error};
    }
    bind(tcp);
    return {tcp->serverPort(), {}};
}

bool MetricsServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    if (request.method() != QHttpServerRequest::Method::Get ||
        request.url().path() != QLatin1String("/metrics"))
        return false;
    makeResponder(request, socket)
        .write(render_(), QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8"),
               QHttpServerResponder::StatusCode::Ok);
    return true;
}

void MetricsServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    makeResponder(request, socket)
        .write(QByteArrayLiteral("Not found: the metrics are at /metrics\n"), QByteArrayLiteral("text/plain"),
               QHttpServerResponder::StatusCode::NotFound);
}

} // namespace quorvel::service
