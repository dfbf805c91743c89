// The registry store in a SQLite file. Keys live in one table by their case-folded path, values
// in another by key and case-folded name (sqlite_file.cpp lays them out). The file runs in WAL
// mode with a busy timeout so that several processes share it; every write is one IMMEDIATE
// transaction committed with a full sync, so a crash, or a power loss, never loses or tears a
// write that has returned. Reads take no write lock and make no sync.
//
// A lookup in the tables walks them inside a read transaction of its own, and the library reads
// the registry some hundred times per call. Key and value lookups are therefore remembered, but
// only while SQLite's data version of the connection is unchanged: it changes whenever another
// connection, in any process, has committed since, so a lookup answers from memory only when
// nothing has been committed since the remembered read. This connection's own commits leave
// the data version as it is, so they forget what was remembered. No transaction or lock is
// held between calls.
//
// Reading the data version is itself a read transaction, whose lock on the WAL index costs two
// system calls: as much as the lookups it saves. Every commit writes the write-ahead log before
// it returns, so each lookup first takes the events of an inotify watch on the log (one
// non-blocking read) and reads the data version only after the log has been written.
#include "platform/host/sqlite_registry.h"

#include <errno.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <map>

#include "platform/host/sqlite_file.h"
#include "platform/host/sqlite_statements.h"

namespace host {

namespace {

// Lookups remembered at most; beyond that they are forgotten and read again.
const size_t kRememberedLookupLimit = 4096;
// What the watch on the write-ahead log reports: writes, and its removal or replacement.
const uint32_t kLogEvents = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// Room for the events one read of the watch takes.
const size_t kWatchBufferSize = 4096;

// Returns the folded path of a key's parent ("" for a top-level key).
std::string ParentOf(const std::string &folded)
{
    size_t slash = folded.rfind('\\');
    return slash == std::string::npos ? "" : folded.substr(0, slash);
}

class SqliteRegistryImpl : public SqliteRegistry {
public:
    SqliteRegistryImpl(sqlite3 *db, const std::string &path) : path_(path), db_(db) {}

    ~SqliteRegistryImpl() override
    {
        StopWatching();
        statements_.list.clear();
        sqlite3_close_v2(db_);
    }

    // Prepares the store's statements; false with a message when the tables do not fit them.
    bool Prepare(std::string *error)
    {
        std::string why;
        if (PrepareStatements(db_, &statements_, &why))
            return true;
        *error = OneLine("registry file " + ShortPath(path_) + " has an unexpected layout: " + why);
        return false;
    }

    std::string LastError() const override { return lastError_; }

    bool Failed() const override { return !lastError_.empty(); }

    std::string FilePath() const override { return path_; }

        bool KeyExists(std::string_view path) override
    {
        std::string folded = FoldCase(path);
        int64_t before = 0;
        bool beforeKnown = Revalidate(&before);
        auto seen = keysRead_.find(folded);
        if (seen != keysRead_.end()) {
            lastError_.clear();
            return seen->second;
        }
        Statement &s = statements_[KEY_EXISTS].Bind({folded});
        int rc = s.Step();
        s.Reset();
        if (!Check(rc == SQLITE_ROW || rc == SQLITE_DONE))
            return false;
        if (MayRemember(beforeKnown, before))
            keysRead_[folded] = rc == SQLITE_ROW;
        return rc == SQLITE_ROW;
    }

    bool CreateKey(std::string_view path) override
    {
        return Write([&] {
            size_t start = 0;
            while (start <= path.size()) {
                size_t end = path.find('\\', start);
                if (end == std::string::npos)
                    end = path.size();
                std::string folded = FoldCase(path.substr(0, end));
                Statement &s = statements_[INSERT_KEY].Bind(
                    {folded, ParentOf(folded), std::string(path.substr(start, end - start))});
                int rc = s.Step();
                s.Reset();
                if (rc != SQLITE_DONE)
                    return false;
                start = end + 1;
            }
            return true;
        });
    }

    bool GetValue(std::string_view path, std::string_view name, RegValue *value) override
    {
        return FindValue(path, name, value) == Lookup::Found;
    }

    Lookup FindValue(std::string_view path, std::string_view name, RegValue *value) override
    {
        std::pair<std::string, std::string> folded(FoldCase(path), FoldCase(name));
        int64_t before = 0;
        bool beforeKnown = Revalidate(&before);
        auto seen = valuesRead_.find(folded);
        if (seen != valuesRead_.end()) {
            lastError_.clear();
            if (seen->second.found == Lookup::Found)
                *value = seen->second.value;
            return seen->second.found;
        }
        ValueRead read;
        Statement &s = statements_[FIND_VALUE].Bind({folded.first, folded.second});
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

    bool SetValue(std::string_view path, std::string_view name, const RegValue &value) override
    {
        // Writing what is stored already changes nothing (the library rewrites a sensor's
        // previous state on every status read): a lookup made under the current data version
        // that shows the same type and bytes makes the transaction unnecessary.
        int64_t now = 0;
        Revalidate(&now);
        auto seen = valuesRead_.find({FoldCase(path), FoldCase(name)});
        if (seen != valuesRead_.end() && seen->second.found == Lookup::Found &&
            seen->second.value.type == value.type && seen->second.value.data == value.data) {
            lastError_.clear();
            return true;
        }
        return Write([&] {
            std::string key = FoldCase(path);
            Statement &exists = statements_[KEY_EXISTS].Bind({key});
            int rc = exists.Step();
            exists.Reset();
            if (rc != SQLITE_ROW)
                return false;
            Statement &s = statements_[SET_VALUE].Bind({key, FoldCase(name), std::string(name)});
            s.BindInt(4, value.type).BindBlob(5, value.data);
            rc = s.Step();
            s.Reset();
            return rc == SQLITE_DONE;
        });
    }

    bool DeleteValue(std::string_view path, std::string_view name) override
    {
        return Write([&] {
            Statement &s = statements_[DELETE_VALUE].Bind({FoldCase(path), FoldCase(name)});
            int rc = s.Step();
            s.Reset();
            return rc == SQLITE_DONE && sqlite3_changes(db_) > 0;
        });
    }

    bool DeleteKey(std::string_view path) override
    {
        std::string folded = FoldCase(path);
        if (folded.empty())
            return false;
        return Write([&] {
            // Everything under the key sorts between "key\" and "key]" (']' follows '\').
            std::string low = folded + "\\", high = folded + "]";
            Statement &keys = statements_[DELETE_KEYS].Bind({folded, low, high});
            int rc = keys.Step();
            keys.Reset();
            if (rc != SQLITE_DONE || sqlite3_changes(db_) == 0)
                return false;
            Statement &vals = statements_[DELETE_KEY_VALUES].Bind({folded, low, high});
            rc = vals.Step();
            vals.Reset();
            return rc == SQLITE_DONE;
        });
    }

    std::vector<std::string> SubKeys(std::string_view path) override
    {
        std::vector<std::string> names;
        Statement &s = statements_[SUB_KEYS].Bind({FoldCase(path)});
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW)
            names.push_back(s.Text(0));
        s.Reset();
        Check(rc == SQLITE_DONE);
        return names;
    }

    std::vector<std::pair<std::string, RegValue>> Values(std::string_view path) override
    {
        std::vector<std::pair<std::string, RegValue>> values;
        Statement &s = statements_[VALUES].Bind({FoldCase(path)});
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
    // Reads the connection's data version; false if it cannot be read.
    bool ReadDataVersion(int64_t *version)
    {
        Statement &s = statements_[DATA_VERSION];
        int rc = s.Step();
        if (rc == SQLITE_ROW)
            *version = s.Int(0);
        s.Reset();
        return rc == SQLITE_ROW;
    }

    // True unless the write-ahead log has certainly not been written since the last call: every
    // commit, by any process, writes it before it returns, and the kernel reports each write
    // to the watch. Without a watch (none could be set, or the log went away) always true.
    bool LogMayHaveChanged()
    {
        if (watch_ < 0) {
            if (!watchTried_) {
                watchTried_ = true;
                const char *log = sqlite3_filename_wal(sqlite3_db_filename(db_, "main"));
                watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
                if (watch_ >= 0 &&
                    (!log || inotify_add_watch(watch_, log, kLogEvents) < 0))
                    StopWatching();
            }
            return true;
        }
        bool written = false;
        alignas(inotify_event) char events[kWatchBufferSize];
        for (;;) {
            ssize_t length = read(watch_, events, sizeof events);
            if (length <= 0) {
                if (length < 0 && errno != EAGAIN && errno != EINTR)
                    StopWatching();
                return written || watch_ < 0;
            }
            written = true;
            for (ssize_t at = 0; at < length;) {
                const inotify_event *event = (const inotify_event *)(events + at);
                if (event->mask & (IN_IGNORED | IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF))
                    StopWatching();
                at += (ssize_t)(sizeof(inotify_event) + event->len);
            }
            if (watch_ < 0)
                return true;
        }
    }

    void StopWatching()
    {
        if (watch_ >= 0)
            close(watch_);
        watch_ = -1;
    }

    // Sets `*now` to the data version and forgets the remembered lookups unless it is the
    // version they were read under. The version is read only when the log may have been
    // written since it was last read. Returns false if it cannot be read.
    bool Revalidate(int64_t *now)
    {
        if (!LogMayHaveChanged() && remembering_) {
            *now = readVersion_;
            return true;
        }
        bool known = ReadDataVersion(now);
        if (!known || !remembering_ || *now != readVersion_)
            ForgetReads();
        return known;
    }

    // After a lookup in the file: true if it may be remembered under the data version read
    // before it (`before`). A commit by another connection between that version and the lookup
    // changes the version the next lookup reads, which then forgets this one.
    bool MayRemember(bool beforeKnown, int64_t before)
    {
        if (!beforeKnown)
            return false;
        if (remembering_ && before != readVersion_)
            ForgetReads();
        if (keysRead_.size() + valuesRead_.size() >= kRememberedLookupLimit)
            ForgetReads();
        readVersion_ = before;
        remembering_ = true;
        return true;
    }

    void ForgetReads()
    {
        keysRead_.clear();
        valuesRead_.clear();
        remembering_ = false;
    }

    // Runs `body` inside one IMMEDIATE transaction; commits if it returns true, else rolls
    // back. Returns true when committed. A commit on this connection leaves the data version
    // as it was, so what was remembered is forgotten here.
    template <class Body> bool Write(Body body)
    {
        if (Run(statements_[BEGIN_IMMEDIATE]) != SQLITE_OK)
            return Check(false);
        if (!body()) {
            bool failed = sqlite3_errcode(db_) != SQLITE_OK && sqlite3_errcode(db_) != SQLITE_DONE &&
                          sqlite3_errcode(db_) != SQLITE_ROW;
            Run(statements_[ROLLBACK]);
            // A missing key or value is an answer, not an error of the file.
            return failed ? Check(false) : (lastError_.clear(), false);
        }
        if (Run(statements_[COMMIT]) != SQLITE_OK) {
            Check(false);
            Run(statements_[ROLLBACK]);
            return false;
        }
        ForgetReads();
        lastError_.clear();
        return true;
    }

    // Records SQLite's message when `ok` is false; returns `ok`.
    bool Check(bool ok)
    {
        if (ok)
            lastError_.clear();
        else
            lastError_ = OneLine("registry file " + ShortPath(path_) + ": " + sqlite3_errmsg(db_));
        return ok;
    }

    std::string path_;
    sqlite3 *db_ = nullptr;
    Statements statements_;
    std::string lastError_;
    // Lookups made while the data version was readVersion_ (when remembering_).
    struct ValueRead {
        Lookup found = Lookup::NoKey;
        RegValue value;
    };
    int64_t readVersion_ = 0;
    bool remembering_ = false;
    // Inotify instance watching the write-ahead log (-1 when there is none).
    int watch_ = -1;
    bool watchTried_ = false;
    std::map<std::string, bool> keysRead_;
    std::map<std::pair<std::string, std::string>, ValueRead> valuesRead_;
};

} // namespace

std::unique_ptr<SqliteRegistry> MakeSqliteRegistry(const std::string &path, std::string *error,
                                                   RegistryAccess access)
{
    sqlite3 *db = OpenRegistryFile(path, access, error);
    if (!db)
        return nullptr;
    auto registry = std::make_unique<SqliteRegistryImpl>(db, path);
    if (!registry->Prepare(error))
        return nullptr;
    return registry;
}

} // namespace host
