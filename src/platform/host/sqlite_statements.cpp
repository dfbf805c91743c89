// Prepared statements of the SQLite registry store.
#include "platform/host/sqlite_statements.h"

namespace host {

int Statement::Prepare(sqlite3 *db, const char *sql)
{
    return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
}

Statement &Statement::Bind(std::initializer_list<std::string> texts)
{
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    int i = 1;
    for (const std::string &text : texts)
        sqlite3_bind_text(stmt_, i++, text.c_str(), (int)text.size(), SQLITE_TRANSIENT);
    return *this;
}

Statement &Statement::BindInt(int index, int64_t value)
{
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

Statement &Statement::BindBlob(int index, const std::vector<BYTE> &data)
{
    // An empty blob must still be a blob, not NULL.
    static const BYTE nothing = 0;
    sqlite3_bind_blob(stmt_, index, data.empty() ? &nothing : data.data(), (int)data.size(),
                      SQLITE_TRANSIENT);
    return *this;
}

std::string Statement::Text(int column)
{
    const unsigned char *text = sqlite3_column_text(stmt_, column);
    return text ? std::string((const char *)text, (size_t)sqlite3_column_bytes(stmt_, column))
                : std::string();
}

std::vector<BYTE> Statement::Blob(int column)
{
    const BYTE *data = (const BYTE *)sqlite3_column_blob(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::vector<BYTE>(data, data + size) : std::vector<BYTE>();
}

bool PrepareStatements(sqlite3 *db, Statements *statements, std::string *error)
{
    static const char *const sql[STATEMENT_COUNT] = {
        "SELECT 1 FROM keys WHERE path = ?1",
        "INSERT OR IGNORE INTO keys (path, parent, name) VALUES (?1, ?2, ?3)",
        // One row if the key exists; its columns are NULL if the value does not.
        ("SELECT v.type, v.data FROM keys k LEFT JOIN vals v ON v.key = k.path AND "
         "v.folded = ?2 WHERE k.path = ?1"),
        ("INSERT INTO vals (key, folded, name, type, data) VALUES (?1, ?2, ?3, ?4, ?5) "
         "ON CONFLICT (key, folded) DO UPDATE SET type = excluded.type, data = excluded.data"),
        "DELETE FROM vals WHERE key = ?1 AND folded = ?2",
        "DELETE FROM keys WHERE path = ?1 OR (path >= ?2 AND path < ?3)",
        "DELETE FROM vals WHERE key = ?1 OR (key >= ?2 AND key < ?3)",
        "SELECT name FROM keys WHERE parent = ?1 AND path <> '' ORDER BY path",
        "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY folded",
        "PRAGMA data_version",
        "BEGIN IMMEDIATE",
        "COMMIT",
        "ROLLBACK",
    };
    statements->list.clear();
    for (int i = 0; i < STATEMENT_COUNT; ++i) {
        statements->list.push_back(std::make_unique<Statement>());
        if (statements->list.back()->Prepare(db, sql[i]) != SQLITE_OK) {
            *error = sqlite3_errmsg(db);
            return false;
        }
    }
    return true;
}

int Run(Statement &statement)
{
    int rc = statement.Step();
    statement.Reset();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int Exec(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// Steps `sql` to its first row and hands the statement to `take`; returns the result code.
template <class Take> int QueryFirst(sqlite3 *db, const char *sql, Take take)
{
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            take(stmt);
            rc = SQLITE_OK;
        } else if (rc == SQLITE_DONE) {
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(stmt);
    return rc;
}

int QueryInt(sqlite3 *db, const char *sql, int64_t *value)
{
    return QueryFirst(db, sql, [&](sqlite3_stmt *stmt) { *value = sqlite3_column_int64(stmt, 0); });
}

int QueryText(sqlite3 *db, const char *sql, std::string *text)
{
    return QueryFirst(db, sql, [&](sqlite3_stmt *stmt) {
        const unsigned char *column = sqlite3_column_text(stmt, 0);
        *text = column ? (const char *)column : "";
    });
}

} // namespace host
