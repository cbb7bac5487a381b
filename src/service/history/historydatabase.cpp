#include "service/history/historydatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <array>
#include <variant>

#include <unistd.h>

namespace quorvel::service::history {

namespace {

// A reader never waits long for the writer's lock: the page answers from what it has.
constexpr int ReadBusyMilliseconds = 100;
// The writer's thread may wait longer for a checkpoint by a reader, but not for ever.
constexpr int WriteBusyMilliseconds = 5000;

bool exec(sqlite3* db, const char* sql, QString* error)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    *error = QString::fromUtf8(message ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    return false;
}

// Schema 1: sensors and labels by id, a sample per sensor and interval, the hours folded, the events.
bool createVersion1(sqlite3* db, QString* error)
{
    return exec(db,
                "CREATE TABLE sensors(id INTEGER PRIMARY KEY, rom TEXT NOT NULL UNIQUE);"
                "CREATE TABLE labels(id INTEGER PRIMARY KEY, source TEXT NOT NULL, name TEXT NOT NULL,"
                " UNIQUE(source, name));"
                "CREATE TABLE samples(time INTEGER NOT NULL, sensor INTEGER NOT NULL, label INTEGER NOT NULL,"
                " last INTEGER, raw INTEGER, min INTEGER, max INTEGER, mean INTEGER,"
                " reads INTEGER NOT NULL, failed INTEGER NOT NULL, failures TEXT,"
                " PRIMARY KEY(time, sensor)) WITHOUT ROWID;"
                "CREATE TABLE hourly(time INTEGER NOT NULL, sensor INTEGER NOT NULL, label INTEGER NOT NULL,"
                " min INTEGER, max INTEGER, mean INTEGER, good INTEGER NOT NULL, reads INTEGER NOT NULL,"
                " PRIMARY KEY(time, sensor)) WITHOUT ROWID;"
                "CREATE TABLE events(id INTEGER PRIMARY KEY, time INTEGER NOT NULL, kind TEXT NOT NULL,"
                " source TEXT NOT NULL, rom TEXT, \"from\" TEXT NOT NULL, \"to\" TEXT NOT NULL, detail TEXT);"
                "CREATE INDEX events_time ON events(time);"
                "CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;",
                error);
}

// Schema 2: where each output that writes the samples elsewhere stands, by the samples' key.
bool addCursors(sqlite3* db, QString* error)
{
    return exec(
        db,
        "CREATE TABLE cursors(output TEXT PRIMARY KEY, time INTEGER NOT NULL, sensor INTEGER NOT NULL)"
        " WITHOUT ROWID;",
        error);
}

// Step i takes a file of version i to version i + 1; a new schema adds its step here.
using Migration = bool (*)(sqlite3*, QString*);
constexpr std::array<Migration, SchemaVersion> Migrations = {&createVersion1, &addCursors};

// What a file holds, read without writing it.
struct Contents {
    int applicationId = 0;
    int version = 0;
    bool hasTables = false;
};

OpenError refusal(OpenFault fault, const QString& path)
{
    const QString shown = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    switch (fault) {
    case OpenFault::CannotCreate:
        return {fault,
                QStringLiteral("the history store %1 cannot be created: its folder is missing or not "
                               "writable; create the folder for the service's user or choose another path")
                    .arg(shown)};
    case OpenFault::NotAStore:
        return {fault,
                QStringLiteral("%1 is not a history store (not SQLite, or another program's database); "
                               "move it away or choose another path")
                    .arg(shown)};
    case OpenFault::NewerSchema:
        return {fault,
                QStringLiteral("the history store %1 was written by a later release (schema above %2); "
                               "run that release or choose another path")
                    .arg(shown)
                    .arg(SchemaVersion)};
    case OpenFault::ReadOnly:
        return {fault,
                QStringLiteral("the history store %1 or its folder cannot be written; give the service's "
                               "user write access to both or choose another path")
                    .arg(shown)};
    case OpenFault::Corrupt:
        break;
    }
    return {OpenFault::Corrupt,
            QStringLiteral("the history store %1 is damaged; restore it from a backup or move "
                           "it away to start a new one")
                .arg(shown)};
}

bool writable(const QString& path)
{
    return ::access(QFile::encodeName(path).constData(), W_OK) == 0;
}

int intPragma(sqlite3* db, const char* sql, int* value)
{
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            *value = sqlite3_column_int(statement, 0);
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(statement);
    return rc;
}

std::optional<OpenFault> faultOf(int rc)
{
    switch (rc & 0xff) {
    case SQLITE_OK:
        return std::nullopt;
    case SQLITE_NOTADB:
        return OpenFault::NotAStore;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY:
        return OpenFault::ReadOnly;
    default:
        return OpenFault::Corrupt;
    }
}

// Opens read-only: a refused file is never written, not even its journal rolled back.
sqlite3* openReadOnly(const QString& path, int* rc)
{
    sqlite3* db = nullptr;
    *rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db,
                          SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    if (*rc == SQLITE_OK)
        *rc = sqlite3_busy_timeout(db, ReadBusyMilliseconds);
    return db;
}

// Reads what an existing file holds through a connection of its own, or why it cannot be read.
std::variant<Contents, OpenFault> contentsOf(sqlite3* db)
{
    Contents contents;
    int tables = 0;
    int rc = intPragma(db, "PRAGMA application_id", &contents.applicationId);
    if (rc == SQLITE_OK)
        rc = intPragma(db, "PRAGMA user_version", &contents.version);
    if (rc == SQLITE_OK)
        rc = intPragma(db, "SELECT count(*) FROM sqlite_schema", &tables);
    if (const auto fault = faultOf(rc))
        return *fault;
    contents.hasTables = tables > 0;
    return contents;
}

// The verdict on a file's contents: nothing when it is a store we can write, or a new empty database.
std::optional<OpenFault> judge(const Contents& contents)
{
    if (contents.applicationId != ApplicationId) {
        if (contents.applicationId != 0 || contents.hasTables || contents.version != 0)
            return OpenFault::NotAStore;
        return std::nullopt;
    }
    if (contents.version > SchemaVersion)
        return OpenFault::NewerSchema;
    if (contents.version < 1 || !contents.hasTables)
        return OpenFault::Corrupt;
    return std::nullopt;
}

// The verdict on an existing file, read through a read-only connection that is closed again.
std::variant<Contents, OpenFault> inspect(const QString& path)
{
    int rc = SQLITE_OK;
    sqlite3* db = openReadOnly(path, &rc);
    std::variant<Contents, OpenFault> result = OpenFault::Corrupt;
    if (const auto fault = faultOf(rc))
        result = *fault;
    else
        result = contentsOf(db);
    sqlite3_close_v2(db);
    if (const auto* contents = std::get_if<Contents>(&result)) {
        if (const auto fault = judge(*contents))
            return *fault;
    }
    return result;
}

// What keeps the writer from the path before anything is opened for writing; for a missing file, the
// version 0 that creating it begins with.
std::variant<Contents, OpenFault> verdictForWriting(const QString& path)
{
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    if (!info.exists()) {
        if (!QFileInfo(folder).isDir() || !writable(folder))
            return OpenFault::CannotCreate;
        return Contents{};
    }
    auto result = inspect(path);
    if (std::holds_alternative<OpenFault>(result))
        return result;
    // SQLite would open a file it cannot write read-only without a word, and the WAL lives beside it.
    if (!writable(path) || !writable(folder))
        return OpenFault::ReadOnly;
    return result;
}

// Brings a file of `from` to SchemaVersion in one transaction: a crash leaves the old version whole.
bool migrate(sqlite3* db, int from, QString* error)
{
    if (!exec(db, "BEGIN IMMEDIATE", error))
        return false;
    for (int version = from; version < SchemaVersion; ++version) {
        if (!Migrations[std::size_t(version)](db, error)) {
            exec(db, "ROLLBACK", error);
            return false;
        }
    }
    const QByteArray stamp = QStringLiteral("PRAGMA application_id = %1; PRAGMA user_version = %2;")
                                 .arg(ApplicationId)
                                 .arg(SchemaVersion)
                                 .toLatin1();
    if (!exec(db, stamp.constData(), error) || !exec(db, "COMMIT", error)) {
        QString ignored;
        exec(db, "ROLLBACK", &ignored);
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<HistoryDatabase> HistoryDatabase::open(const QString& path, Mode mode,
                                                       std::optional<OpenError>* error)
{
    const auto fail = [&](OpenFault fault, sqlite3* db, const QString& detail = {}) {
        sqlite3_close_v2(db);
        if (error) {
            *error = refusal(fault, path);
            if (!detail.isEmpty())
                (*error)->message += QStringLiteral(" (%1)").arg(detail);
        }
        return std::unique_ptr<HistoryDatabase>();
    };
    if (error)
        error->reset();

    if (mode == Mode::Read) {
        if (!QFileInfo::exists(path))
            return fail(OpenFault::CannotCreate, nullptr, QStringLiteral("no such file"));
        const auto verdict = inspect(path);
        if (const auto* fault = std::get_if<OpenFault>(&verdict))
            return fail(*fault, nullptr);
        int rc = SQLITE_OK;
        sqlite3* db = openReadOnly(path, &rc);
        if (const auto fault = faultOf(rc))
            return fail(*fault, db);
        return std::unique_ptr<HistoryDatabase>(new HistoryDatabase(db, path));
    }

    const auto verdict = verdictForWriting(path);
    if (const auto* fault = std::get_if<OpenFault>(&verdict))
        return fail(*fault, nullptr);
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (const auto fault = faultOf(rc))
        return fail(rc == SQLITE_CANTOPEN ? OpenFault::CannotCreate : *fault, db);
    sqlite3_busy_timeout(db, WriteBusyMilliseconds);
    sqlite3_extended_result_codes(db, 1);
    // WAL with NORMAL: a power cut loses at most the last transactions and never corrupts the file.
    QString detail;
    if (!exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;", &detail))
        return fail(OpenFault::ReadOnly, db, detail);
    const int version = std::get<Contents>(verdict).version;
    if (version < SchemaVersion && !migrate(db, version, &detail))
        return fail(version == 0 ? OpenFault::CannotCreate : OpenFault::Corrupt, db, detail);
    return std::unique_ptr<HistoryDatabase>(new HistoryDatabase(db, path));
}

std::optional<OpenError> HistoryDatabase::check(const QString& path)
{
    const auto verdict = verdictForWriting(path);
    if (const auto* fault = std::get_if<OpenFault>(&verdict))
        return refusal(*fault, path);
    return std::nullopt;
}

HistoryDatabase::~HistoryDatabase()
{
    sqlite3_close_v2(db_);
}

} // namespace quorvel::service::history
