// Prepared statements of the SQLite registry store, and the plain helpers that run SQL.
#ifndef KOVALTHERM_HOST_SQLITE_STATEMENTS_H
#define KOVALTHERM_HOST_SQLITE_STATEMENTS_H

#include <sqlite3.h>
#include <stdint.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32_api.h"

namespace host {

// A prepared statement, reset after every use.
class Statement {
public:
    Statement() = default;
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    // Prepares `sql`; returns the SQLite result code.
    int Prepare(sqlite3 *db, const char *sql);
    // Binds the texts (in order) after a reset.
    Statement &Bind(std::initializer_list<std::string> texts);
    Statement &BindInt(int index, int64_t value);
    Statement &BindBlob(int index, const std::vector<BYTE> &data);
    // Steps once; returns SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return sqlite3_step(stmt_); }
    std::string Text(int column);
    int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
    bool IsNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::vector<BYTE> Blob(int column);
    void Reset() { sqlite3_reset(stmt_); }

private:
    sqlite3_stmt *stmt_ = nullptr;
};

// The statements the store runs, by job.
enum StatementId {
    KEY_EXISTS,
    INSERT_KEY,
    FIND_VALUE,
    SET_VALUE,
    DELETE_VALUE,
    DELETE_KEYS,
    DELETE_KEY_VALUES,
    SUB_KEYS,
    VALUES,
    DATA_VERSION,
    BEGIN_IMMEDIATE,
    COMMIT,
    ROLLBACK,
    STATEMENT_COUNT
};

struct Statements {
    std::vector<std::unique_ptr<Statement>> list;
    Statement &operator[](StatementId id) { return *list[id]; }
};

// Prepares every statement on `db`; false (with SQLite's message in `*error`) when one does not
// fit the file's tables.
bool PrepareStatements(sqlite3 *db, Statements *statements, std::string *error);

// Runs a prepared statement without results; returns SQLITE_OK or the error code.
int Run(Statement &statement);

// Runs SQL without results on `db`; returns the SQLite result code.
int Exec(sqlite3 *db, const char *sql);

// Runs a query whose first column of the first row is an integer; returns the result code.
int QueryInt(sqlite3 *db, const char *sql, int64_t *value);

// Runs a query whose first column of the first row is text; returns the result code.
int QueryText(sqlite3 *db, const char *sql, std::string *text);

} // namespace host

#endif
