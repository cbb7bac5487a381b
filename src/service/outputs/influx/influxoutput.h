#pragma once

#include "service/outputs/influx/influxsettings.h"
#include "service/state/outputlink.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace quorvel::service::history {
class Outbox;
}

namespace quorvel::service::influx {

// Writes the store's samples to one line-protocol database, at least once and in order: it reads the rows
// after its cursor, posts them a batch at a time, and moves the cursor only once the database answered 2xx.
// Bad lines (400) are found by halving and dropped alone; 413 halves the batch; 429 and 503 wait as the
// server says; 401/403 stop it, tried again every 5 minutes; other failures back off from 1 s to 5 min with
// jitter. A backlog is sent no faster than backfill_rate. Nothing blocks the event loop: the name lookup, the
// TLS handshake and the request are all asynchronous, and a request that takes too long is cut.
class InfluxOutput final : public QObject {
    Q_OBJECT
public:
    // host: the box's name, the first tag of every line unless the settings' tags name another.
    InfluxOutput(InfluxSettings settings, QString host, history::Outbox& outbox, QObject* parent = nullptr);
    ~InfluxOutput() override;

    // Reads the cursor and the backlog, and sends what waits.
    void start();

    [[nodiscard]] const InfluxSettings& settings() const { return settings_; }
    [[nodiscard]] const OutputLink& status() const { return status_; }

    // A test's own clock (the samples' age) for the real one.
    void setClock(std::function<QDateTime()> clock);

    // How long things take; a test shortens them.
    struct Timing {
        int deadlineMs = 30000;      // one write, whole
        int stoppedRetryMs = 300000; // after 401, 403, 404
        int backoffFirstMs = 1000;   // after the first failure, doubled after each next one
        int backoffLastMs = 300000;  // and never longer
    };
    void setTiming(const Timing& timing);
    // A factor around 1 that spreads the backoffs of many boxes (0.8 to 1.2 by default).
    void setJitter(std::function<double()> factor);
    // The store's keep_samples as the journal words it ("30 days"), told with each loss.
    void setKeepSamples(const QString& text);

signals:
    // What the journal tells: an outage once as it begins and once as it ends (with its count), a refusal,
    // the first bad line, samples lost.
    void notice(const QString& text);
    // status() changed.
    void statusChanged();

private:
    class Private;
    InfluxSettings settings_;
    OutputLink status_;
    std::unique_ptr<Private> d_;
};

} // namespace quorvel::service::influx
