#pragma once

#include "service/history/sqlstatement.h"

#include <QHash>
#include <QString>

#include <optional>
#include <utility>

struct sqlite3;

namespace quorvel::historyyear {

// A sample row as stored: temperatures in thousandths of a degree.
struct StoredSample {
    qint64 time = 0;
    std::optional<qint64> last, raw, min, max, mean;
    int reads = 0;
    int failed = 0;
    QString failures; // "crc_error:2 no_answer:1"; empty: none
};

// An hourly row as stored; mean weighted by good reads.
struct StoredHourly {
    qint64 time = 0;
    std::optional<qint64> min, max, mean;
    int good = 0;
    int reads = 0;
};

// Writes rows straight into an open store with prepared statements, bypassing the service's writer: for the
// year generator and for tests that need exact rows. The caller opens the transactions.
class HistoryRowWriter {
public:
    explicit HistoryRowWriter(sqlite3* db);
    HistoryRowWriter(const HistoryRowWriter&) = delete;
    HistoryRowWriter& operator=(const HistoryRowWriter&) = delete;

    // Each false with error() set when the store refused.
    bool sample(const QString& source, const QString& romCode, const QString& name, const StoredSample& row);
    bool hourly(const QString& source, const QString& romCode, const QString& name, const StoredHourly& row);
    bool setFoldedUntil(qint64 time);
    bool exec(const char* sql);

    [[nodiscard]] const QString& error() const { return error_; }

private:
    std::optional<qint64> sensorId(const QString& romCode);
    std::optional<qint64> labelId(const QString& source, const QString& name);
    // Runs a statement to its end, reset for the next row; false with error() set when it failed.
    bool done(service::history::SqlStatement& statement);
    std::optional<qint64> returnedId(service::history::SqlStatement& statement);

    sqlite3* db_;
    service::history::SqlStatement sensor_;
    service::history::SqlStatement label_;
    service::history::SqlStatement sample_;
    service::history::SqlStatement hourly_;
    service::history::SqlStatement meta_;
    QHash<QString, qint64> sensors_;
    QHash<std::pair<QString, QString>, qint64> labels_;
    QString error_;
};

} // namespace quorvel::historyyear
