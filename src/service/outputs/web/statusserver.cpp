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

namespace {

HttpListener::Answer plainText(int status, const QByteArray& text)
{
    return {status, "text/plain; charset=utf-8", {}, text};
}

const QByteArray NoHistory = "No history kept here\n";

HttpListener::Answer busy(const QByteArray& contentType, const QByteArray& body)
{
    return {503, contentType, {{"Retry-After", "1"}}, body};
}

} // namespace

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
        const auto asked = rangeAsked(head);
        if (const auto* refusal = std::get_if<HttpListener::Answer>(&asked))
            return *refusal;
        const statuspage::ChartRange* range = std::get<const statuspage::ChartRange*>(asked);
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

std::variant<const statuspage::ChartRange*, HttpListener::Answer>
StatusServer::rangeAsked(const HttpRequestHead& head) const
{
    const statuspage::ChartRange* range = statuspage::chartRange(HttpQuery(head.query));
    if (!range)
        return plainText(400, "No such range\n");
    // Without a store only the day's ring is there to show.
    if (!history_ && range != &statuspage::ChartRanges.front())
        return plainText(404, NoHistory);
    return range;
}

HttpListener::Answer StatusServer::chart(const HttpRequestHead& head, const StateStore& store)
{
    const auto asked = rangeAsked(head);
    if (const auto* refusal = std::get_if<HttpListener::Answer>(&asked))
        return *refusal;
    const statuspage::ChartRange* range = std::get<const statuspage::ChartRange*>(asked);
    const QDateTime now = clock_();
    Drawn& drawn = charts_[std::size_t(range - statuspage::ChartRanges.data())];
    if (const qint64 minute = now.toSecsSinceEpoch() / 60; minute != drawn.minute) {
        if (history_) {
            // A chart drawn before is shown a while longer rather than none.
            if (!mayQuery())
                return drawn.svg.isEmpty() ? busy("text/plain; charset=utf-8", "Busy, try again\n")
                                           : HttpListener::Answer{200, "image/svg+xml", {}, drawn.svg};
            QElapsedTimer took;
            took.start();
            const auto [from, to] = span(*range, now.toSecsSinceEpoch());
            const qint64 step = history::HistoryReader::stepFor(from, to, history_->settings().sampleInterval,
                                                                history_->reader().samplesAtMost());
            drawn.svg =
                statuspage::historyChartSvg(inPageOrder(history_->reader().series(from, to, step), store),
                                            from, to, step, QString::fromLatin1(range->title));
            spent(took.elapsed());
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
    if (!mayQuery())
        return busy("application/json", statuspage::errorJson(QStringLiteral("busy, try again")));
    QElapsedTimer took;
    took.start();
    // No bucket shorter than a sample: each would stand alone between empty ones.
    request.step = history::HistoryReader::stepFor(
        request.from, request.to, request.step > 0 ? request.step : history_->settings().sampleInterval,
        history_->reader().samplesAtMost());
    const auto series = history_->reader().series(request.from, request.to, request.step, request.romCode);
    spent(took.elapsed());
    return {200, "application/json", {}, statuspage::historyJson(request, series)};
}

QList<history::Series> StatusServer::inPageOrder(QList<history::Series> series, const StateStore& store)
{
    // The page's order, so the legend reads as the table does; sensors no longer listed after them.
    QHash<QString, qsizetype> place;
    for (const auto& source : store.sources())
        for (const SensorState& sensor : source->sensors)
            place.insert(sensor.romCode, place.size());
    std::stable_sort(series.begin(), series.end(), [&](const history::Series& a, const history::Series& b) {
        return place.value(a.romCode, place.size()) < place.value(b.romCode, place.size());
    });
    return series;
}

bool StatusServer::mayQuery() const
{
    const qint64 now = age_.elapsed();
    queryBudgetMs_ =
        std::min(QueryBurstMs, queryBudgetMs_ + double(now - queryBudgetAtMs_) * QueryMsPerSecond / 1000);
    queryBudgetAtMs_ = now;
    return queryBudgetMs_ > 0;
}

void StatusServer::spent(qint64 ms) const
{
    queryBudgetMs_ -= double(ms);
}

HttpListener::Answer StatusServer::exportCsv(const HttpRequestHead& head) const
{
    if (!history_)
        return plainText(404, NoHistory);
    const auto parsed = statuspage::historyRequest(HttpQuery(head.query), clock_().toSecsSinceEpoch());
    if (const QString* error = std::get_if<QString>(&parsed))
        return plainText(400, error->toUtf8() + '\n');
    const auto& request = std::get<statuspage::HistoryRequest>(parsed);
    if (head.method != "HEAD" && *exports_ >= MaxExports)
        return busy("text/plain; charset=utf-8", "Another export is running, try again\n");
    HttpListener::Answer answer(
        200, "text/csv; charset=utf-8",
        {{"Content-Disposition",
          "attachment; filename=\"" + statuspage::exportFileName(request.from, request.to) + '"'}});
    // HEAD never reads the rows: no cursor, no connection to the store for it.
    if (head.method == "HEAD") {
        answer.producer = [] { return QByteArray(); };
        return answer;
    }
    // The count follows the producer, which the listener releases with the answer or its connection.
    ++*exports_;
    std::shared_ptr<int> slot(exports_.get(), [count = exports_](int*) { --*count; });
    answer.producer = [slot, produce = statuspage::exportProducer(history_->reader().samples(
                                 request.from, request.to, request.romCode))] { return produce(); };
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
