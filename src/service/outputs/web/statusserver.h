#pragma once

#include "service/http/httplistener.h"
#include "service/http/listenendpoint.h"
#include "service/http/webconfig.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <functional>

namespace quorvel::service {

class ServiceMetrics;
class StateStore;

// The one listener for people and machines: the status page (/), /readings.json, /chart.svg and /metrics,
// each rendered in the event loop's thread from what the loop already keeps, within the listener's bounds.
// Every answer forbids the browser anything outside the page itself; TLS and basic auth come from the web
// configuration when one is given.
class StatusServer final : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;

    StatusServer(const StateStore& store, const ServiceMetrics& metrics, QObject* parent = nullptr,
                 HttpLimits limits = {});
    ~StatusServer() override;

    // Asks the listener for the web configuration's TLS and login; the reason when they cannot be used.
    [[nodiscard]] std::optional<QString> configure(const WebConfig& config);
    [[nodiscard]] HttpListener::Bound listenOn(const ListenEndpoint& endpoint);
    [[nodiscard]] bool usesTls() const { return tls_; }
    void setClock(Clock clock) { clock_ = std::move(clock); }

    // An answer rendered once serves every request for a while, HEAD too, as one shared buffer: clients
    // cost the loop a render per period, not one each, and those that do not read hold no copy each.
    static constexpr qint64 RenderEveryMs = 500;

private:
    struct Rendered {
        QByteArray body;
        qint64 atMs = -1;
    };
    [[nodiscard]] QByteArray fresh(Rendered& rendered, const std::function<QByteArray()>& render);

    HttpListener listener_;
    QElapsedTimer age_;
    Rendered page_;
    Rendered json_;
    Rendered metrics_;
    Clock clock_;
    // The chart changes by the minute and costs most: drawn once a minute at most.
    QByteArray chart_;
    qint64 chartMinute_ = -1;
    bool tls_ = false;
};

} // namespace quorvel::service
