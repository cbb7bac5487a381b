#pragma once

#include "service/history/historydatabase.h"
#include "service/history/historyreader.h"
#include "service/history/historysettings.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace quorvel::service {
class StateStore;
}

class QThread;

namespace quorvel::service::history {

class HistorySampler;
class HistoryWriter;
class Outbox;
class StoreOutbox;

// A sensor's good reads since local midnight: what /readings.json adds to each sensor.
struct DayStats {
    double min = 0;
    double max = 0;
    double mean = 0;
    qint64 good = 0;
};

// The service's history store: takes the state store's events, sums each sensor's reads into one sample per
// interval, and hands each interval's samples and events to a writer on a thread of its own as one
// transaction (an SD card's write never holds up the loop). The reader answers the page's questions.
class HistoryStore final : public QObject {
    Q_OBJECT
public:
    // The store, or why its file cannot be one (then nothing was written to it).
    [[nodiscard]] static std::unique_ptr<HistoryStore>
    open(const StoreSettings& settings, std::optional<OpenError>* error, QObject* parent = nullptr);
    ~HistoryStore() override; // writes the interval in hand and waits for the writer

    // Takes the reads, sweeps, alarm and reachability changes of this state store from now on.
    void watch(const StateStore& state);
    // Writes the interval in hand now (on stop and before a reload changes the sources).
    void flush();

    [[nodiscard]] const StoreSettings& settings() const { return settings_; }
    [[nodiscard]] const HistoryReader& reader() const { return reader_; }
    // The samples as the outputs' outbox; it lives as long as the store.
    [[nodiscard]] Outbox& outbox() const;
    // Since local midnight, from the store at start and each good read since; nothing before a good read.
    [[nodiscard]] std::optional<DayStats> today(const QString& romCode) const;

    // The clock that stamps the samples: a test's own for the real one.
    void setClock(std::function<QDateTime()> clock);

signals:
    // What the journal tells: a full disk (once, until it is written again), written again (with the
    // intervals held meanwhile), a write that failed otherwise.
    void notice(const QString& text);

private:
    HistoryStore(const StoreSettings& settings, QObject* parent);
    void start(std::unique_ptr<HistoryDatabase> database, std::optional<qint64> newestSample);

    StoreSettings settings_;
    HistoryReader reader_;
    HistorySampler* sampler_ = nullptr;
    // Lives on thread_ and is deleted there, after its last batch.
    HistoryWriter* writer_ = nullptr;
    QThread* thread_ = nullptr;
    StoreOutbox* outbox_ = nullptr;
};

} // namespace quorvel::service::history
