#pragma once

#include <QString>

#include <memory>
#include <optional>

struct sqlite3;

namespace quorvel::service::history {

// The store's schema: a file is a store when its application id is ours; its user_version is the schema's.
// A later version migrates every earlier one forward inside one transaction; a newer file is refused.
inline constexpr int ApplicationId = 0x51563364;
inline constexpr int SchemaVersion = 2;

// Why a file cannot be the store; the service refuses to start and never touches the file.
enum class OpenFault {
    CannotCreate, // the folder is missing or not writable
    NotAStore,    // some other file: another database, text, an empty application id on tables of others
    NewerSchema,  // written by a later release
    ReadOnly,     // the file or its folder cannot be written (the WAL needs both)
    Corrupt,      // SQLite says so
};

struct OpenError {
    OpenFault fault;
    QString message; // whole, for the journal and --check: names the path and what to do
};

// One connection to the store file, closed with it. Writers open it for writing (WAL mode, created with the
// schema when missing, migrated when older); readers read-only, seeing the last committed transaction.
class HistoryDatabase {
public:
    enum class Mode { Write, Read };
    // The connection, or why not; opening for Read never creates the file.
    [[nodiscard]] static std::unique_ptr<HistoryDatabase> open(const QString& path, Mode mode,
                                                               std::optional<OpenError>* error);
    // What --check says of a path without opening it for writing: nothing when it can be the store (an
    // existing store, or a file that can be created there).
    [[nodiscard]] static std::optional<OpenError> check(const QString& path);

    ~HistoryDatabase();
    HistoryDatabase(const HistoryDatabase&) = delete;
    HistoryDatabase& operator=(const HistoryDatabase&) = delete;

    [[nodiscard]] sqlite3* handle() const { return db_; }
    [[nodiscard]] const QString& path() const { return path_; }

private:
    HistoryDatabase(sqlite3* db, QString path) : db_(db), path_(std::move(path)) {}
    sqlite3* db_;
    QString path_;
};

} // namespace quorvel::service::history
