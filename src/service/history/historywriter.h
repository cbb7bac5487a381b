#pragma once

#include "service/history/historyrows.h"
#include "service/history/historysettings.h"
#include "service/history/outbox.h"

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
// pruned. A batch that cannot be written (a full disk) is kept and tried again with the next, up to an hour
// of them; beyond that the oldest are dropped and counted. Keeps the outputs' cursors too: a prune that takes
// samples an output never sent moves its cursor past them and tells.
class HistoryWriter final : public QObject {
    Q_OBJECT
public:
    // Rows deleted in one go; a backlog goes on with the next batch.
    static constexpr int PruneAtMost = 5000;

    HistoryWriter(std::unique_ptr<HistoryDatabase> database, const StoreSettings& settings);
    ~HistoryWriter() override;

    // The hours a crash left unfolded.
    void start();
    void write(const Batch& batch);
    // The outputs whose losses the prune counts.
    void setOutputs(const QStringList& names);
    // Never moves a cursor back. A failure (a full disk) is not fatal: the next one writes a later cursor.
    void saveCursor(const QString& output, OutboxPosition position);

signals:
    // Once as the writes begin to fail, once as they succeed again.
    void notice(const QString& text);
    // A batch is in the file; the rows before wholeBefore are whole.
    void committed(qint64 wholeBefore);
    // The prune took rows this output never sent (their times from and to); its cursor now stands at resume.
    void samplesLost(const QString& output, qint64 rows, qint64 from, qint64 to, qint64 resumeTime,
                     qint64 resumeSensor);

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
    // Moves the cursor of each output that stands before `end` (the last row the prune takes) past it, and
    // notes the rows it never sent.
    [[nodiscard]] bool takeLosses(OutboxPosition end);
    [[nodiscard]] bool storeCursor(const QString& output, OutboxPosition position);
    void failed(const Failure& failure);

    std::unique_ptr<HistoryDatabase> database_;
    StoreSettings settings_;
    std::size_t heldAtMost_;
    // After the connection: they are finalized before it closes.
    std::unique_ptr<SqlStatement> insertSensor_, selectSensor_, insertLabel_, selectLabel_, selectSample_,
        replaceSample_, insertEvent_, foldHours_, readMeta_, writeMeta_, pruneEnd_, pruneSamples_,
        pruneHourly_, readCursor_, writeCursor_, countAfter_;
    // Ids of rows committed: one kept from a rolled-back transaction would name nothing.
    QHash<QString, qint64> sensorIds_;
    QHash<QString, qint64> labelIds_;
    std::deque<Batch> held_;
    bool failing_ = false;
    qint64 heldSinceFailure_ = 0;
    qint64 dropped_ = 0;
    qint64 prunedAt_ = 0;       // the newest time of the last prune
    bool pruneBacklog_ = false; // the last prune hit its bound
    QStringList outputs_;
    struct Loss {
        QString output;
        qint64 rows, from, to;
        OutboxPosition resume;
    };
    QList<Loss> losses_; // of the transaction in hand, told once it is committed
};

} // namespace quorvel::service::history
