#pragma once

#include <QHash>
#include <QString>

#include <optional>
#include <utility>

struct sqlite3;
struct sqlite3_stmt;

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
    ~HistoryRowWriter();
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
    // Steps a statement to its end and resets it for the next row.
    bool done(sqlite3_stmt* stmt);
    std::optional<qint64> returnedId(sqlite3_stmt* stmt);

    sqlite3* db_;
    sqlite3_stmt* sensor_ = nullptr;
    sqlite3_stmt* label_ = nullptr;
    sqlite3_stmt* sample_ = nullptr;
    sqlite3_stmt* hourly_ = nullptr;
    sqlite3_stmt* meta_ = nullptr;
    QHash<QString, qint64> sensors_;
    QHash<std::pair<QString, QString>, qint64> labels_;
    QString error_;
};

} // namespace quorvel::historyyear
