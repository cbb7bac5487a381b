#pragma once

#include <QString>

#include <optional>

struct sqlite3;
struct sqlite3_stmt;

namespace quorvel::service::history {

// One prepared statement kept for the life of its connection; each use binds from 1, steps, and resets.
class SqlStatement {
public:
    SqlStatement(sqlite3* db, const char* sql);
    ~SqlStatement();
    SqlStatement(const SqlStatement&) = delete;
    SqlStatement& operator=(const SqlStatement&) = delete;

    [[nodiscard]] bool prepared() const { return statement_ != nullptr; }

    SqlStatement& bind(int index, qint64 value);
    SqlStatement& bind(int index, std::optional<qint64> value); // NULL for nothing
    SqlStatement& bind(int index, const QString& value);        // NULL for a null string
    SqlStatement& bindText(int index, const QString& value);    // text, empty for a null string

    // SQLITE_ROW, SQLITE_DONE or the error.
    int step();
    // Done with this use: the next binds again.
    void reset();
    // Steps through to the end, reset after; SQLITE_DONE or the error.
    int run();

    [[nodiscard]] qint64 integer(int column) const;
    [[nodiscard]] std::optional<qint64> optional(int column) const;
    [[nodiscard]] QString text(int column) const;

private:
    sqlite3_stmt* statement_ = nullptr;
};

} // namespace quorvel::service::history
