#pragma once

#include "service/history/historyrows.h"
#include "service/history/historysettings.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>

namespace quorvel::service::history {

class HistoryDatabase;
class SqlStatement;

// Writes the batches, one transaction each, on the thread it was moved to, through the connection it owns:
// the sensors and labels a batch names, its samples (merged into a row already there for the same interval,
// as after a restart within it) and events, the hours a later sample completed folded, and the old rows
// pruned. A batch that cannot be written (a full disk) is kept and tried again with the next, up to
// HeldAtMost; beyond that the oldest are dropped and counted.
class HistoryWriter final : public QObject {
    Q_OBJECT
public:
    // An hour of ten-second intervals.
    static constexpr int HeldAtMost = 360;
    // Rows deleted in one go; a backlog goes on with the next batch.
    static constexpr int PruneAtMost = 5000;

    HistoryWriter(std::unique_ptr<HistoryDatabase> database, const StoreSettings& settings);
    ~HistoryWriter() override;

    // The hours a crash left unfolded.
    void start();
    void write(const Batch& batch);

signals:
    // Once as the writes begin to fail, once as they succeed again.
    void notice(const QString& text);

private:
    struct Failure {
        int code = 0;
        QString message;
    };
    [[nodiscard]] bool transaction(const Batch& batch, Failure* failure);
    [[nodiscard]] bool writeSample(const SampleRow& row, QHash<QString, qint64>& sensors,
                                   QHash<QString, qint64>& labels);
    [[nodiscard]] bool writeEvent(const EventRow& row);
    // The id of the row of this key, inserted when new.
    [[nodiscard]] std::optional<qint64> idOf(SqlStatement& insert, SqlStatement& select,
                                             const QStringList& key);
    // Folds the hours before the one `newest` is in; false on a failure.
    [[nodiscard]] bool fold(qint64 newest);
    [[nodiscard]] bool prune(qint64 newest);
    void failed(const Failure& failure);

    std::unique_ptr<HistoryDatabase> database_;
    StoreSettings settings_;
    std::unique_ptr<SqlStatement> insertSensor_, selectSensor_, insertLabel_, selectLabel_, selectSample_,
        replaceSample_, insertEvent_, foldHours_, readMeta_, writeMeta_, pruneSamples_, pruneHourly_;
    // Ids of rows committed: one kept from a rolled-back transaction would name nothing.
    QHash<QString, qint64> sensorIds_;
    QHash<QString, qint64> labelIds_;
    std::deque<Batch> held_;
    bool failing_ = false;
    qint64 heldSinceFailure_ = 0;
    qint64 dropped_ = 0;
    qint64 prunedAt_ = 0;       // the newest time of the last prune
    bool pruneBacklog_ = false; // the last prune hit its bound
};

} // namespace quorvel::service::history
