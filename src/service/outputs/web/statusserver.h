#pragma once

#include "service/history/historyreader.h"
#include "service/http/httplistener.h"
#include "service/http/listenendpoint.h"
#include "service/http/webconfig.h"
#include "service/outputs/web/historyquery.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <array>
#include <functional>
#include <variant>

namespace quorvel::service {

class ServiceMetrics;
class StateStore;

namespace history {
class HistoryStore;
}

// The one listener for people and machines: the status page (/), /readings.json, /chart.svg and /metrics,
// each rendered in the event loop's thread from what the loop already keeps, within the listener's bounds;
// with a history store, the chart's longer ranges, /history.json and /export.csv from it too.
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
    // The store the charts' ranges, /history.json and /export.csv read; null: none, only the day is shown.
    // It outlives the server.
    void setHistory(const history::HistoryStore* history) { history_ = history; }

    // An answer rendered once serves every request for a while, HEAD too, as one shared buffer: clients
    // cost the loop a render per period, not one each, and those that do not read hold no copy each.
    static constexpr qint64 RenderEveryMs = 500;
    // The store's queries run in the loop's thread: measured, together they take at most this share of it
    // (a tenth), with this much saved up for a burst, so that no client, however often it asks, holds up
    // the sweep; beyond it a request is told to come back (503, Retry-After).
    static constexpr double QueryMsPerSecond = 100;
    static constexpr double QueryBurstMs = 500;
    // Exports in flight at once: each holds a connection to the store and its descriptors.
    static constexpr int MaxExports = 2;

private:
    struct Rendered {
        QByteArray body;
        qint64 atMs = -1;
    };
    [[nodiscard]] QByteArray fresh(Rendered& rendered, const std::function<QByteArray()>& render);

    // What a range spans up to now, [from, to) in UTC seconds: "all" from the oldest row kept.
    [[nodiscard]] std::pair<qint64, qint64> span(const statuspage::ChartRange& range, qint64 now) const;
    // The range the page or the chart is asked for, or the answer that refuses it.
    [[nodiscard]] std::variant<const statuspage::ChartRange*, HttpListener::Answer>
    rangeAsked(const HttpRequestHead& head) const;
    [[nodiscard]] HttpListener::Answer chart(const HttpRequestHead& head, const StateStore& store);
    [[nodiscard]] HttpListener::Answer historyJson(const HttpRequestHead& head) const;
    [[nodiscard]] HttpListener::Answer exportCsv(const HttpRequestHead& head) const;
    [[nodiscard]] static QList<history::Series> inPageOrder(QList<history::Series> series,
                                                            const StateStore& store);
    // Whether the store may be asked now; spent() takes what a query cost.
    [[nodiscard]] bool mayQuery() const;
    void spent(qint64 ms) const;

    HttpListener listener_;
    QElapsedTimer age_;
    std::array<Rendered, statuspage::ChartRanges.size()> pages_; // one a range
    Rendered json_;
    Rendered metrics_;
    Clock clock_;
    const history::HistoryStore* history_ = nullptr;
    mutable double queryBudgetMs_ = QueryBurstMs;
    mutable qint64 queryBudgetAtMs_ = 0;
    // Exports in flight; shared with their producers, which may outlive nothing but are released apart.
    std::shared_ptr<int> exports_ = std::make_shared<int>(0);
    // A chart changes by the minute and costs most: each range drawn once a minute at most.
    struct Drawn {
        QByteArray svg;
        qint64 minute = -1;
    };
    std::array<Drawn, statuspage::ChartRanges.size()> charts_;
    bool tls_ = false;
};

} // namespace quorvel::service
