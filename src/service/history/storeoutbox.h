#pragma once

#include "service/history/outbox.h"

#include <QHash>

#include <memory>
#include <optional>

namespace quorvel::service::history {

class HistoryDatabase;
class HistoryWriter;

// The outbox on the store's file: reads through a read-only connection of its own, at most the rows asked
// for, and hands out only rows before the horizon: at open the newest sample's time (its interval may still
// be merged into), then the start of the interval in hand with each batch committed. Cursors are written by
// the writer, on its thread, in order with the samples.
class StoreOutbox final : public Outbox {
    Q_OBJECT
public:
    StoreOutbox(QString path, HistoryWriter* writer, std::optional<qint64> newestSample,
                QObject* parent = nullptr);
    ~StoreOutbox() override;

    [[nodiscard]] OutboxPosition cursor(const QString& output) const override;
    [[nodiscard]] QList<OutboxRow> unsent(OutboxPosition after, int maxRows) const override;
    [[nodiscard]] qint64 countUnsent(OutboxPosition after) const override;
    void saveCursor(const QString& output, OutboxPosition position) override;
    void setOutputs(const QStringList& names) override;

    // The writer committed a batch: the rows before wholeBefore can go.
    void onCommitted(qint64 wholeBefore);
    void onLost(const QString& output, qint64 rows, qint64 from, qint64 to, OutboxPosition resumeAfter);
    // The writer is going away: cursors saved from now on are kept in memory only.
    void detach() { writer_ = nullptr; }

private:
    // The rows in [after, before) by key, or nothing when the store cannot be read.
    [[nodiscard]] std::optional<qint64> count(OutboxPosition after, OutboxPosition before) const;
    [[nodiscard]] HistoryDatabase* db() const;

    QString path_;
    HistoryWriter* writer_;
    qint64 horizon_;
    // The cursors saved by this run: ahead of the file while the writer has them in hand.
    QHash<QString, OutboxPosition> saved_;
    mutable std::unique_ptr<HistoryDatabase> db_;
};

} // namespace quorvel::service::history
