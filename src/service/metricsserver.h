#pragma once

#include "serviceoptions.h"

#include <QAbstractHttpServer>
#include <QByteArray>

#include <functional>
#include <optional>

namespace quorvel::service {

// Serves GET /metrics in the Prometheus text format, 404 for anything else. Runs in the event loop's
// thread and only renders counters the loop already keeps, so a request never waits on the cycle and the
// cycle never waits on a request.
class MetricsServer final : public QAbstractHttpServer {
    Q_OBJECT
public:
    using Render = std::function<QByteArray()>;

    explicit MetricsServer(Render render, QObject* parent = nullptr);

    // Binds the address given and nothing else. The bound port, or the system's reason.
    struct Bound {
        quint16 port = 0;
        QString error;
    };
    [[nodiscard]] Bound listenOn(const MetricsEndpoint& endpoint);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    Render render_;
};

} // namespace quorvel::service
