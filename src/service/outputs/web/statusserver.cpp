#include "service/outputs/web/statusserver.h"

#include "service/history/historystore.h"
#include "service/http/securelistener.h"
#include "service/outputs/web/historychart.h"
#include "service/outputs/web/historycsv.h"
#include "service/outputs/web/historyjson.h"
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
    listener_.addRoute("/", [this, &store](const HttpRequestHead& head) {
        const statuspage::ChartRange* range = statuspage::chartRange(HttpQuery(head.query));
        if (!range)
            return HttpListener::Answer(400, "text/plain; charset=utf-8", {}, "No such range\n");
        if (!history_ && range != &statuspage::ChartRanges.front())
            return HttpListener::Answer(404, "text/plain; charset=utf-8", {}, "No history kept here\n");
        Rendered& page = pages_[std::size_t(range - statuspage::ChartRanges.data())];
        return HttpListener::Answer{
            200, "text/html; charset=utf-8", {}, fresh(page, [&] {
                const QDateTime now = clock_();
                const auto [from, to] = span(*range, now.toSecsSinceEpoch());
                return statuspage::html(store, now, {range, history_ != nullptr, from, to});
            })};
    });
    listener_.addRoute("/readings.json", [this, &store](const HttpRequestHead&) {
        return HttpListener::Answer{200, "application/json", {}, fresh(json_, [&] {
                                        return statuspage::readingsJson(store, clock_(), history_);
                                    })};
    });
    listener_.addRoute("/chart.svg",
                       [this, &store](const HttpRequestHead& head) { return chart(head, store); });
    listener_.addRoute("/history.json", [this](const HttpRequestHead& head) { return historyJson(head); });
    listener_.addRoute("/export.csv", [this](const HttpRequestHead& head) { return exportCsv(head); });
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

std::pair<qint64, qint64> StatusServer::span(const statuspage::ChartRange& range, qint64 now) const
{
    if (range.seconds > 0 || !history_)
        return {now - (range.seconds > 0 ? range.seconds : statuspage::ChartRanges.front().seconds), now};
    return {std::min(history_->reader().firstTime().value_or(now), now - 60), now};
}

HttpListener::Answer StatusServer::chart(const HttpRequestHead& head, const StateStore& store)
{
    const statuspage::ChartRange* range = statuspage::chartRange(HttpQuery(head.query));
    if (!range)
        return {400, "text/plain; charset=utf-8", {}, "No such range\n"};
    // Without a store only the day's ring is there to draw.
    if (!history_ && range != &statuspage::ChartRanges.front())
        return {404, "text/plain; charset=utf-8", {}, "No history kept here\n"};
    const QDateTime now = clock_();
    Drawn& drawn = charts_[std::size_t(range - statuspage::ChartRanges.data())];
    if (const qint64 minute = now.toSecsSinceEpoch() / 60; minute != drawn.minute) {
        if (history_) {
            const auto [from, to] = span(*range, now.toSecsSinceEpoch());
            const qint64 step = history::HistoryReader::stepFor(from, to, 0);
            drawn.svg = statuspage::historyChartSvg(history_->reader().series(from, to, step), from, to, step,
                                                    QString::fromLatin1(range->title));
        } else {
            drawn.svg = statuspage::chartSvg(store, now);
        }
        drawn.minute = minute;
    }
    return {200, "image/svg+xml", {}, drawn.svg};
}

HttpListener::Answer StatusServer::historyJson(const HttpRequestHead& head) const
{
    if (!history_)
        return {404, "application/json", {}, statuspage::errorJson(QStringLiteral("no history kept here"))};
    auto parsed = statuspage::historyRequest(HttpQuery(head.query), clock_().toSecsSinceEpoch());
    if (const QString* error = std::get_if<QString>(&parsed))
        return {400, "application/json", {}, statuspage::errorJson(*error)};
    auto& request = std::get<statuspage::HistoryRequest>(parsed);
    request.step = history::HistoryReader::stepFor(request.from, request.to, request.step);
    return {200,
            "application/json",
            {},
            statuspage::historyJson(
                request, history_->reader().series(request.from, request.to, request.step, request.romCode))};
}

HttpListener::Answer StatusServer::exportCsv(const HttpRequestHead& head) const
{
    if (!history_)
        return {404, "text/plain; charset=utf-8", {}, "No history kept here\n"};
    const auto parsed = statuspage::historyRequest(HttpQuery(head.query), clock_().toSecsSinceEpoch());
    if (const QString* error = std::get_if<QString>(&parsed))
        return {400, "text/plain; charset=utf-8", {}, error->toUtf8() + '\n'};
    const auto& request = std::get<statuspage::HistoryRequest>(parsed);
    HttpListener::Answer answer(
        200, "text/csv; charset=utf-8",
        {{"Content-Disposition",
          "attachment; filename=\"" + statuspage::exportFileName(request.from, request.to) + '"'}});
    answer.producer =
        statuspage::exportProducer(history_->reader().samples(request.from, request.to, request.romCode));
    return answer;
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
