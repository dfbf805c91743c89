// The registry store in a SQLite file. Keys live in one table by their case-folded path, values
// in another by key and case-folded name. The file runs in WAL mode with a busy timeout so
// that several processes share it; every write is one IMMEDIATE transaction committed with
// a full sync, so a crash, or a power loss, never loses or tears a write that has returned.
// Reads take no write lock and make no sync.
//
// A read transaction in WAL mode takes and releases a lock on the shared WAL index (two system
// calls) and walks the tables: together most of a point read's cost, and the library reads
// the registry some hundred times per call. Key and value lookups are therefore remembered,
// but only for as long as the WAL index header is unchanged: every commit, by any process or
// connection, rewrites that header, and each lookup compares it first, so a lookup answers
// from memory only when nothing has been committed since the remembered read. No transaction
// or lock is held between calls.
#include "platform/host/sqlite_registry.h"

#include <sqlite3.h>
#include <string.h>
#include <sys/stat.h>

#include <array>
#include <map>

namespace host {

namespace {

// The WAL index (the "-shm" file) begins with two copies of its header; a commit rewrites the
// second copy, then the first, and changes them (its change counter, last frame, checksums).
// Layout as documented in SQLite's file format notes on the WAL index.
// Lookups are remembered only under the index version whose layout this relies on.
const size_t kWalIndexHeaderSize = 48;
const uint32_t kWalIndexVersion = 3007000; // first field, in native byte order
const size_t kWalIndexInitOffset = 12;     // nonzero once the index is built
const int kWalIndexRegionSize = 32768;
// Lookups remembered at most; beyond that they are forgotten and read again.
const size_t kRememberedLookupLimit = 4096;

using WalHeader = std::array<unsigned char, kWalIndexHeaderSize>;

const char *const kSchema =
    "CREATE TABLE keys ("
    "  path TEXT PRIMARY KEY,"     // folded path under HKEY_LOCAL_MACHINE; '' is the root
    "  parent TEXT NOT NULL,"      // folded path of the parent
    "  name TEXT NOT NULL"         // last component as created
    ") WITHOUT ROWID;"
    "CREATE INDEX keys_by_parent ON keys (parent, path);"
    "CREATE TABLE vals ("
    "  key TEXT NOT NULL,"         // folded path of the key
    "  folded TEXT NOT NULL,"      // folded value name
    "  name TEXT NOT NULL,"        // value name as first set
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY (key, folded)"
    ") WITHOUT ROWID;"
    "INSERT INTO keys VALUES ('', '', '');";

// Returns the folded path of a key's parent ("" for a top-level key).
std::string ParentOf(const std::string &folded)
{
    size_t slash = folded.rfind('\\');
    return slash == std::string::npos ? "" : folded.substr(0, slash);
}

// A prepared statement, reset after every use.
class Statement {
public:
    Statement() = default;
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    // Prepares `sql`; returns the SQLite result code.
    int Prepare(sqlite3 *db, const char *sql)
    {
        return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
    }

    // Binds the texts and blob (in order) after a reset.
    Statement &Bind(std::initializer_list<std::string> texts)
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        int i = 1;
        for (const std::string &text : texts)
            sqlite3_bind_text(stmt_, i++, text.c_str(), (int)text.size(), SQLITE_TRANSIENT);
        return *this;
    }

    Statement &BindInt(int index, int64_t value)
    {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }

    Statement &BindBlob(int index, const std::vector<BYTE> &data)
    {
        // An empty blob must still be a blob, not NULL.
        static const BYTE nothing = 0;
        sqlite3_bind_blob(stmt_, index, data.empty() ? &nothing : data.data(), (int)data.size(),
                          SQLITE_TRANSIENT);
        return *this;
    }

    // Steps once; returns SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return sqlite3_step(stmt_); }

    std::string Text(int column)
    {
        const unsigned char *text = sqlite3_column_text(stmt_, column);
        return text ? std::string((const char *)text, (size_t)sqlite3_column_bytes(stmt_, column))
                    : std::string();
    }

    int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }

    bool IsNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

    std::vector<BYTE> Blob(int column)
    {
        const BYTE *data = (const BYTE *)sqlite3_column_blob(stmt_, column);
        int size = sqlite3_column_bytes(stmt_, column);
        return data ? std::vector<BYTE>(data, data + size) : std::vector<BYTE>();
    }

    void Reset() { sqlite3_reset(stmt_); }

private:
    sqlite3_stmt *stmt_ = nullptr;
};

// Runs one statement without results on `db`; returns the SQLite result code.
int Exec(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// Reads one integer pragma; returns the SQLite result code.
int PragmaInt(sqlite3 *db, const char *sql, int64_t *value)
{
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            *value = sqlite3_column_int64(stmt, 0);
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(stmt);
    return rc;
}

enum class FileKind { Empty, Registry };

// Looks at an existing file without writing to it: an empty database, a registry, or an
// error (not a database, another database, newer layout, damaged, unreadable).
bool InspectFile(const std::string &path, FileKind *kind, std::string *error)
{
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    auto fail = [&](const std::string &why) {
        *error = "registry file " + path + " " + why;
        sqlite3_close_v2(db);
        return false;
    };
    if (rc != SQLITE_OK)
        return fail("cannot be opened: " + std::string(sqlite3_errstr(rc)));
    sqlite3_busy_timeout(db, kRegistryBusyTimeoutMs);
    int64_t id = 0, version = 0, tables = 0;
    rc = PragmaInt(db, "PRAGMA application_id", &id);
    if (rc == SQLITE_NOTADB)
        return fail("is not a registry file (not a SQLite database); it was left as it is");
    if (rc == SQLITE_CORRUPT)
        return fail("is damaged (" + std::string(sqlite3_errmsg(db)) + "); it was left as it is");
    if (rc != SQLITE_OK)
        return fail("cannot be read: " + std::string(sqlite3_errmsg(db)));
    rc = PragmaInt(db, "PRAGMA user_version", &version);
    if (rc == SQLITE_OK)
        rc = PragmaInt(db, "SELECT count(*) FROM sqlite_master", &tables);
    if (rc != SQLITE_OK)
        return fail("is damaged (" + std::string(sqlite3_errmsg(db)) + "); it was left as it is");
    if (id == 0 && version == 0 && tables == 0) {
        *kind = FileKind::Empty;
        sqlite3_close_v2(db);
        return true;
    }
    if (id != kRegistryApplicationId)
        return fail("is a SQLite database but not a registry file; it was left as it is");
    if (version > kRegistryLayoutVersion)
        return fail("was written by a newer version (layout " + std::to_string(version) +
                    "); it was left as it is");
    sqlite3_stmt *check = nullptr;
    std::string verdict;
    rc = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &check, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(check)) == SQLITE_ROW) {
        const unsigned char *text = sqlite3_column_text(check, 0);
        verdict = text ? (const char *)text : "";
        rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK)
        verdict = sqlite3_errmsg(db);
    sqlite3_finalize(check);
    if (verdict != "ok")
        return fail("is damaged (" + verdict + "); it was left as it is");
    *kind = FileKind::Registry;
    sqlite3_close_v2(db);
    return true;
}

class SqliteRegistryImpl : public SqliteRegistry {
public:
    ~SqliteRegistryImpl() override
    {
        statements_.clear();
        sqlite3_close_v2(db_);
    }

    // Opens (and if new, lays out) the file; false with a message.
    bool Open(const std::string &path, bool mayCreate, std::string *error)
    {
        path_ = path;
        int flags = SQLITE_OPEN_READWRITE | (mayCreate ? SQLITE_OPEN_CREATE : 0);
        int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK)
            return Fail(error, "cannot be opened");
        sqlite3_busy_timeout(db_, kRegistryBusyTimeoutMs);
        sqlite3_extended_result_codes(db_, 1);
        if (Exec(db_, "PRAGMA journal_mode=WAL") != SQLITE_OK ||
            Exec(db_, "PRAGMA synchronous=FULL") != SQLITE_OK)
            return Fail(error, "cannot be set up");
        if (Exec(db_, "BEGIN IMMEDIATE") != SQLITE_OK)
            return Fail(error, "cannot be locked");
        int64_t id = 0, tables = 0;
        if (PragmaInt(db_, "PRAGMA application_id", &id) != SQLITE_OK ||
            PragmaInt(db_, "SELECT count(*) FROM sqlite_master", &tables) != SQLITE_OK) {
            Exec(db_, "ROLLBACK");
            return Fail(error, "cannot be read");
        }
        if (id == 0 && tables == 0) {
            // A new file, or one that another process is about to lay out and we got first.
            std::string layout = std::string(kSchema) +
                                 "PRAGMA application_id=" + std::to_string(kRegistryApplicationId) +
                                 ";PRAGMA user_version=" + std::to_string(kRegistryLayoutVersion) +
                                 ";";
            if (Exec(db_, layout.c_str()) != SQLITE_OK) {
                std::string why = sqlite3_errmsg(db_);
                Exec(db_, "ROLLBACK");
                *error = "registry file " + path + " cannot be laid out: " + why;
                return false;
            }
        } else if (id != kRegistryApplicationId) {
            Exec(db_, "ROLLBACK");
            *error = "registry file " + path + " is not a registry file; it was left as it is";
            return false;
        }
        if (Exec(db_, "COMMIT") != SQLITE_OK)
            return Fail(error, "cannot be written");
        return PrepareStatements(error);
    }

    std::string LastError() const override { return lastError_; }

    std::string FilePath() const override { return path_; }

    bool KeyExists(const std::string &path) override
    {
        std::string folded = FoldCase(path);
        WalHeader before;
        bool beforeKnown = Revalidate(&before);
        auto seen = keysRead_.find(folded);
        if (seen != keysRead_.end()) {
            lastError_.clear();
            return seen->second;
        }
        Statement &s = Get(KEY_EXISTS).Bind({folded});
        int rc = s.Step();
        s.Reset();
        if (!Check(rc == SQLITE_ROW || rc == SQLITE_DONE))
            return false;
        if (MayRemember(beforeKnown, before))
            keysRead_[folded] = rc == SQLITE_ROW;
        return rc == SQLITE_ROW;
    }

    bool CreateKey(const std::string &path) override
    {
        return Write([&] {
            size_t start = 0;
            while (start <= path.size()) {
                size_t end = path.find('\\', start);
                if (end == std::string::npos)
                    end = path.size();
                std::string folded = FoldCase(path.substr(0, end));
                Statement &s = Get(INSERT_KEY).Bind(
                    {folded, ParentOf(folded), path.substr(start, end - start)});
                int rc = s.Step();
                s.Reset();
                if (rc != SQLITE_DONE)
                    return false;
                start = end + 1;
            }
            return true;
        });
    }

    bool GetValue(const std::string &path, const std::string &name, RegValue *value) override
    {
        return FindValue(path, name, value) == Lookup::Found;
    }

    Lookup FindValue(const std::string &path, const std::string &name, RegValue *value) override
    {
        std::pair<std::string, std::string> folded(FoldCase(path), FoldCase(name));
        WalHeader before;
        bool beforeKnown = Revalidate(&before);
        auto seen = valuesRead_.find(folded);
        if (seen != valuesRead_.end()) {
            lastError_.clear();
            if (seen->second.found == Lookup::Found)
                *value = seen->second.value;
            return seen->second.found;
        }
        ValueRead read;
        Statement &s = Get(FIND_VALUE).Bind({folded.first, folded.second});
        int rc = s.Step();
        if (rc == SQLITE_ROW && s.IsNull(0)) {
            read.found = Lookup::NoValue;
        } else if (rc == SQLITE_ROW) {
            read.found = Lookup::Found;
            read.value.type = (DWORD)s.Int(0);
            read.value.data = s.Blob(1);
        }
        s.Reset();
        if (!Check(rc == SQLITE_ROW || rc == SQLITE_DONE))
            return Lookup::NoKey;
        Lookup found = read.found;
        if (found == Lookup::Found)
            *value = read.value;
        if (MayRemember(beforeKnown, before))
            valuesRead_[folded] = std::move(read);
        return found;
    }

    bool SetValue(const std::string &path, const std::string &name, const RegValue &value) override
    {
        // Writing what is stored already changes nothing (the library rewrites a sensor's
        // previous state on every status read): a lookup made under the current WAL index
        // header that shows the same type and bytes makes the transaction unnecessary.
        WalHeader now;
        Revalidate(&now);
        auto seen = valuesRead_.find({FoldCase(path), FoldCase(name)});
        if (seen != valuesRead_.end() && seen->second.found == Lookup::Found &&
            seen->second.value.type == value.type && seen->second.value.data == value.data) {
            lastError_.clear();
            return true;
        }
        return Write([&] {
            std::string key = FoldCase(path);
            Statement &exists = Get(KEY_EXISTS).Bind({key});
            int rc = exists.Step();
            exists.Reset();
            if (rc != SQLITE_ROW)
                return false;
            Statement &s = Get(SET_VALUE).Bind({key, FoldCase(name), name});
            s.BindInt(4, value.type).BindBlob(5, value.data);
            rc = s.Step();
            s.Reset();
            return rc == SQLITE_DONE;
        });
    }

    bool DeleteValue(const std::string &path, const std::string &name) override
    {
        return Write([&] {
            Statement &s = Get(DELETE_VALUE).Bind({FoldCase(path), FoldCase(name)});
            int rc = s.Step();
            s.Reset();
            return rc == SQLITE_DONE && sqlite3_changes(db_) > 0;
        });
    }

    bool DeleteKey(const std::string &path) override
    {
        std::string folded = FoldCase(path);
        if (folded.empty())
            return false;
        return Write([&] {
            // Everything under the key sorts between "key\" and "key]" (']' follows '\').
            std::string low = folded + "\\", high = folded + "]";
            Statement &keys = Get(DELETE_KEYS).Bind({folded, low, high});
            int rc = keys.Step();
            keys.Reset();
            if (rc != SQLITE_DONE || sqlite3_changes(db_) == 0)
                return false;
            Statement &vals = Get(DELETE_KEY_VALUES).Bind({folded, low, high});
            rc = vals.Step();
            vals.Reset();
            return rc == SQLITE_DONE;
        });
    }

    std::vector<std::string> SubKeys(const std::string &path) override
    {
        std::vector<std::string> names;
        Statement &s = Get(SUB_KEYS).Bind({FoldCase(path)});
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW)
            names.push_back(s.Text(0));
        s.Reset();
        Check(rc == SQLITE_DONE);
        return names;
    }

    std::vector<std::pair<std::string, RegValue>> Values(const std::string &path) override
    {
        std::vector<std::pair<std::string, RegValue>> values;
        Statement &s = Get(VALUES).Bind({FoldCase(path)});
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW) {
            RegValue value;
            value.type = (DWORD)s.Int(1);
            value.data = s.Blob(2);
            values.emplace_back(s.Text(0), value);
        }
        s.Reset();
        Check(rc == SQLITE_DONE);
        return values;
    }

private:
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
        BEGIN_IMMEDIATE,
        COMMIT,
        ROLLBACK,
        STATEMENT_COUNT
    };

    bool PrepareStatements(std::string *error)
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
            "BEGIN IMMEDIATE",
            "COMMIT",
            "ROLLBACK",
        };
        statements_.clear();
        for (int i = 0; i < STATEMENT_COUNT; ++i) {
            statements_.push_back(std::make_unique<Statement>());
            if (statements_.back()->Prepare(db_, sql[i]) != SQLITE_OK)
                return Fail(error, "has an unexpected layout");
        }
        return true;
    }

    Statement &Get(StatementId id) { return *statements_[id]; }

    // Runs a prepared statement without results; returns SQLITE_OK or the error code.
    int Run(StatementId id)
    {
        Statement &s = Get(id);
        int rc = s.Step();
        s.Reset();
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    // Copies the WAL index header; false when it cannot be read, is being rewritten or has
    // another layout.
    bool ReadWalHeader(WalHeader *header)
    {
        sqlite3_file *file = nullptr;
        if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
            !file || !file->pMethods || file->pMethods->iVersion < 2)
            return false;
        volatile void *region = nullptr;
        if (file->pMethods->xShmMap(file, 0, kWalIndexRegionSize, 0, &region) != SQLITE_OK ||
            !region)
            return false;
        // The same order as SQLite's own readers: first copy, barrier, second copy.
        const volatile unsigned char *index = (const volatile unsigned char *)region;
        WalHeader second;
        for (size_t i = 0; i < kWalIndexHeaderSize; ++i)
            (*header)[i] = index[i];
        file->pMethods->xShmBarrier(file);
        for (size_t i = 0; i < kWalIndexHeaderSize; ++i)
            second[i] = index[kWalIndexHeaderSize + i];
        uint32_t version;
        memcpy(&version, header->data(), sizeof version);
        return *header == second && version == kWalIndexVersion &&
               (*header)[kWalIndexInitOffset] != 0;
    }

    // Reads the WAL index header into `*now` and forgets the remembered lookups unless it
    // is the header they were read under. Returns false if the header cannot be read.
    bool Revalidate(WalHeader *now)
    {
        bool known = ReadWalHeader(now);
        if (!known || *now != readHeader_)
            ForgetReads();
        return known;
    }

    // After a lookup in the file: true if it may be remembered, i.e. the header read before it
    // (`before`) is unchanged after it, so the lookup saw the state that header describes.
    bool MayRemember(bool beforeKnown, const WalHeader &before)
    {
        WalHeader after;
        if (!beforeKnown || !ReadWalHeader(&after) || after != before)
            return false;
        if (keysRead_.size() + valuesRead_.size() >= kRememberedLookupLimit)
            ForgetReads();
        readHeader_ = before;
        return true;
    }

    void ForgetReads()
    {
        keysRead_.clear();
        valuesRead_.clear();
        readHeader_.fill(0); // never a valid header: isInit is 0
    }

    // Runs `body` inside one IMMEDIATE transaction; commits if it returns true, else rolls
    // back. Returns true when committed. Remembered lookups need no attention here: a commit
    // that changes anything rewrites the WAL index header, so the next lookup forgets them,
    // and one that changes nothing (the same value written again) leaves them true.
    template <class Body> bool Write(Body body)
    {
        if (Run(BEGIN_IMMEDIATE) != SQLITE_OK)
            return Check(false);
        if (!body()) {
            bool failed = sqlite3_errcode(db_) != SQLITE_OK && sqlite3_errcode(db_) != SQLITE_DONE &&
                          sqlite3_errcode(db_) != SQLITE_ROW;
            Run(ROLLBACK);
            // A missing key or value is an answer, not an error of the file.
            return failed ? Check(false) : (lastError_.clear(), false);
        }
        if (Run(COMMIT) != SQLITE_OK) {
            Check(false);
            Run(ROLLBACK);
            return false;
        }
        lastError_.clear();
        return true;
    }

    // Records SQLite's message when `ok` is false; returns `ok`.
    bool Check(bool ok)
    {
        if (ok)
            lastError_.clear();
        else
            lastError_ = "registry file " + path_ + ": " + sqlite3_errmsg(db_);
        return ok;
    }

    bool Fail(std::string *error, const char *what)
    {
        *error = "registry file " + path_ + " " + what + ": " +
                 (db_ ? sqlite3_errmsg(db_) : "out of memory");
        return false;
    }

    std::string path_;
    sqlite3 *db_ = nullptr;
    std::vector<std::unique_ptr<Statement>> statements_;
    std::string lastError_;
    // Lookups made while the WAL index header was readHeader_ (all zero when none are kept).
    struct ValueRead {
        Lookup found = Lookup::NoKey;
        RegValue value;
    };
    WalHeader readHeader_{};
    std::map<std::string, bool> keysRead_;
    std::map<std::pair<std::string, std::string>, ValueRead> valuesRead_;
};

} // namespace

std::unique_ptr<SqliteRegistry> MakeSqliteRegistry(const std::string &path, std::string *error)
{
    struct stat info;
    bool exists = stat(path.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        *error = "registry file " + path + " is not a regular file";
        return nullptr;
    }
    bool mayCreate = !exists || info.st_size == 0;
    if (!mayCreate) {
        FileKind kind;
        if (!InspectFile(path, &kind, error))
            return nullptr;
    }
    auto registry = std::make_unique<SqliteRegistryImpl>();
    if (!registry->Open(path, mayCreate, error))
        return nullptr;
    return registry;
}

} // namespace host
