#include "service/history/sqlstatement.h"

#include <sqlite3.h>

namespace quorvel::service::history {

SqlStatement::SqlStatement(sqlite3* db, const char* sql)
{
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement_);
        statement_ = nullptr;
    }
}

SqlStatement::~SqlStatement()
{
    sqlite3_finalize(statement_);
}

SqlStatement& SqlStatement::bind(int index, qint64 value)
{
    sqlite3_bind_int64(statement_, index, value);
    return *this;
}

SqlStatement& SqlStatement::bind(int index, std::optional<qint64> value)
{
    if (value)
        return bind(index, *value);
    sqlite3_bind_null(statement_, index);
    return *this;
}

SqlStatement& SqlStatement::bind(int index, const QString& value)
{
    if (value.isNull()) {
        sqlite3_bind_null(statement_, index);
        return *this;
    }
    return bindText(index, value);
}

SqlStatement& SqlStatement::bindText(int index, const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    sqlite3_bind_text(statement_, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    return *this;
}

int SqlStatement::step()
{
    return sqlite3_step(statement_);
}

void SqlStatement::reset()
{
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

int SqlStatement::run()
{
    int rc = SQLITE_ROW;
    while (rc == SQLITE_ROW)
        rc = step();
    reset();
    return rc;
}

qint64 SqlStatement::integer(int column) const
{
    return sqlite3_column_int64(statement_, column);
}

std::optional<qint64> SqlStatement::optional(int column) const
{
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL)
        return std::nullopt;
    return integer(column);
}

QString SqlStatement::text(int column) const
{
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    if (!bytes)
        return {};
    return QString::fromUtf8(bytes, sqlite3_column_bytes(statement_, column));
}

} // namespace quorvel::service::history
