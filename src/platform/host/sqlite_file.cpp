// The registry file on disk. Opening one goes in three steps:
//  1. The path: a missing file is created empty with O_EXCL, so that of several processes
//     starting together exactly one creates it; a dangling symbolic link, a folder, a device, a
//     file with several names (hard links) or a path too long for SQLite is refused. The first
//     100 bytes tell a WAL-mode file of another program without opening it in SQLite (which
//     would put -wal and -shm files beside it). A file this open created and then refused is
//     removed again.
//  2. Inspection, in one read transaction on a connection whose busy timeout is set before its
//     first statement: an empty file is new; any other file must carry the registry's
//     application id, a layout this build knows, exactly the registry's tables, and pass
//     SQLite's quick check. Nothing is written. A connection that may write removes the side
//     files it made when it closes; one that may not only reads files that need none.
//  3. Set-up: a new (empty) file is laid out in one IMMEDIATE transaction that first checks it
//     is still empty, so a process that lost the race finds the layout another one made; a
//     registry is switched to WAL mode with a full sync.
#include "platform/host/sqlite_file.h"

#include <errno.h>
#include <fcntl.h>
#include <ctype.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "platform/host/sqlite_statements.h"

namespace host {

namespace {

// SQLite's database header, as its file format documents it.
const size_t kHeaderSize = 100;
const char kHeaderMagic[] = "SQLite format 3"; // with its NUL: the first 16 bytes
const size_t kWriteVersionOffset = 18;         // 2 in both version bytes: WAL mode
const size_t kReadVersionOffset = 19;
const unsigned char kWalFormat = 2;
const size_t kUserVersionOffset = 60;          // big-endian; the layout version here
const size_t kApplicationIdOffset = 68;        // big-endian
// Rounds of create-or-lay-out then inspect before giving up on a file that keeps changing.
const int kOpenRounds = 4;
// Pause between attempts to switch a file to WAL mode while another process holds a lock.
const int kWalSwitchRetryMs = 2;
// Permissions of a new registry file (less the umask), as SQLite gives its own files.
const mode_t kNewFileMode = 0644;
// SQLite keeps room for the longest name it puts beside a database ("-journal") within its
// longest path, and refuses a longer path to open.
const size_t kSqliteSuffixRoom = 8;

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
// The schema's objects as the inspection lists them (type and name, by name).
const char *const kSchemaObjects = "table keys, index keys_by_parent, table vals";
const char *const kListSchemaObjects =
    "SELECT group_concat(type || ' ' || name, ', ') FROM "
    "(SELECT type, name FROM sqlite_master ORDER BY name)";

const char *const kLeftAlone = "; it was left as it is";

// What the path holds, looked at without opening it in SQLite.
struct PathFacts {
    bool exists = false;
    off_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::string real;      // the path with symbolic links resolved: SQLite's side files go beside it
    std::string folder;    // the folder of `real`
    bool fileWritable = false, folderWritable = false, fileReadOnlyFs = false;
    bool walExists = false;
    unsigned char header[kHeaderSize] = {};
    bool headerRead = false;
};

uint32_t BigEndian32(const unsigned char *bytes)
{
    return (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
}

std::string FolderOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The path SQLite would open for a file not there yet: its folder's with links resolved, and
// the name added; "" when the folder does not resolve.
std::string ResolvedNewPath(const std::string &path)
{
    char *real = realpath(FolderOf(path).c_str(), nullptr);
    if (!real)
        return std::string();
    std::string resolved = real;
    free(real);
    return resolved + (resolved == "/" ? "" : "/") + path.substr(path.rfind('/') + 1);
}

// False with the reason when SQLite would refuse `resolved`, a path with links resolved, as
// too long.
bool LengthFits(const std::string &resolved, bool exists, std::string *why)
{
    size_t longest = (size_t)sqlite3_vfs_find(nullptr)->mxPathname - kSqliteSuffixRoom;
    if (resolved.size() <= longest)
        return true;
    *why = "has a path of " + std::to_string(resolved.size()) +
           " characters once links are resolved, longer than SQLite opens (" + std::to_string(longest) + ")" +
           (exists ? kLeftAlone : "; it was not created");
    return false;
}

// The name SQLite is given for `path`: a relative path starts with "./", so that names such
// as ":memory:" or "file:x.db?mode=memory" are files, not SQLite's in-memory databases or URIs.
std::string SqliteName(const std::string &path) { return path[0] == '/' ? path : "./" + path; }

// Fills `*facts` for `path`; false with the reason when the path can never be a registry file.
bool ExaminePath(const std::string &path, PathFacts *facts, std::string *why)
{
    *facts = PathFacts();
    struct stat link;
    if (lstat(path.c_str(), &link) != 0) {
        if (errno == ENOENT) {
            facts->folder = FolderOf(path);
            return true;
        }
        *why = std::string("cannot be examined: ") + strerror(errno);
        return false;
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        if (S_ISLNK(link.st_mode) && (errno == ENOENT || errno == ELOOP)) {
            char target[PATH_MAX] = {};
            ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
            *why = "is a symbolic link to " + ShortPath(std::string(target, length > 0 ? (size_t)length : 0)) +
                   (errno == ELOOP ? ", a loop of links" : ", which does not exist") + "; it was not created";
        } else {
            *why = std::string("cannot be examined: ") + strerror(errno);
        }
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        *why = "is a folder, not a file";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *why = "is not a regular file";
        return false;
    }
    // SQLite keeps its log beside the name it opens: under a second name another process would
    // miss what the first wrote, and the two logs would damage the file.
    if (info.st_nlink > 1) {
        *why = "has " + std::to_string((uintmax_t)info.st_nlink) +
               " names (hard links), but SQLite keeps a file's log beside the name it is opened by: "
               "give it one name (a symbolic link may point to it)" + kLeftAlone;
        return false;
    }
    facts->exists = true;
    facts->size = info.st_size;
    facts->device = info.st_dev;
    facts->inode = info.st_ino;
    char real[PATH_MAX];
    facts->real = realpath(path.c_str(), real) ? std::string(real) : path;
    facts->folder = FolderOf(facts->real);
    facts->fileWritable = faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
    facts->fileReadOnlyFs = !facts->fileWritable && errno == EROFS;
    facts->folderWritable = faccessat(AT_FDCWD, facts->folder.c_str(), W_OK, AT_EACCESS) == 0;
    facts->walExists = access((facts->real + "-wal").c_str(), F_OK) == 0;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *why = std::string("cannot be read: ") + strerror(errno);
        return false;
    }
    facts->headerRead = pread(fd, facts->header, kHeaderSize, 0) == (ssize_t)kHeaderSize;
    close(fd);
    return true;
}

bool HasSqliteMagic(const PathFacts &facts)
{
    return facts.headerRead && memcmp(facts.header, kHeaderMagic, sizeof kHeaderMagic) == 0;
}

bool IsWalMode(const PathFacts &facts)
{
    return HasSqliteMagic(facts) && facts.header[kWriteVersionOffset] == kWalFormat &&
           facts.header[kReadVersionOffset] == kWalFormat;
}

// Why the library cannot write the file, for the message.
std::string ReadOnlyReason(const PathFacts &facts)
{
    if (facts.fileReadOnlyFs)
        return "is on a read-only file system";
    if (!facts.fileWritable)
        return "is read-only";
    return "is in a read-only folder (" + ShortPath(facts.folder) + ")";
}

// Creates an empty file at `path` unless something is there already, and then fills
// `*created` with it; false with the reason.
bool CreateEmptyFile(const std::string &path, const std::string &folder, struct stat *created,
                     std::string *why)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd >= 0) {
        if (fstat(fd, created) != 0)
            created->st_ino = 0;
        close(fd);
        return true;
    }
    if (errno == EEXIST) // another process was first, or a link: looked at again
        return true;
    if (errno == EACCES || errno == EROFS || errno == EPERM)
        *why = "cannot be created: the folder " + ShortPath(folder) + " is read-only";
    else if (errno == ENOENT || errno == ENOTDIR)
        *why = "cannot be created: the folder " + ShortPath(folder) + " does not exist";
    else
        *why = std::string("cannot be created: ") + strerror(errno);
    return false;
}

// `path` as a URI file name (RFC 3986 percent-encoding) with the given query.
std::string FileUri(const std::string &path, const char *query)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (isalnum(c) || strchr("/-._~", c)) {
            uri += (char)c;
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        }
    }
    return uri + "?" + query;
}

// Opens a connection with the busy timeout in force before any statement; nullptr when SQLite
// cannot (`*why` says why).
sqlite3 *Connect(const std::string &name, int flags, std::string *why)
{
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, kRegistryBusyTimeoutMs);
        sqlite3_extended_result_codes(db, 1);
        return db;
    }
    *why = std::string("cannot be opened: ") + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close_v2(db);
    return nullptr;
}

// A connection that only reads and leaves no side files: read-write where the file and folder
// allow it (a connection that may write removes the -wal and -shm files it made when it is the
// last to close); a plain read-only one for a file in rollback mode, which needs none, or when
// they exist already; else, for a WAL-mode file nobody can write, one that reads the file as it
// stands. `*mayWrite` tells which.
sqlite3 *ConnectToRead(const std::string &path, const PathFacts &facts, bool *mayWrite,
                       std::string *why)
{
    bool writable = facts.fileWritable && facts.folderWritable;
    *mayWrite = IsWalMode(facts) && writable && !facts.walExists;
    if (*mayWrite)
        return Connect(SqliteName(path), SQLITE_OPEN_READWRITE, why);
    if (!IsWalMode(facts) || facts.walExists)
        return Connect(SqliteName(path), SQLITE_OPEN_READONLY, why);
    return Connect(FileUri(SqliteName(path), "immutable=1"), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, why);
}

enum class Verdict { Registry, Refused };

// Reads everything that tells a registry file, in one read transaction; writes nothing.
Verdict Inspect(sqlite3 *db, std::string *why)
{
    auto refuse = [&](const std::string &reason) {
        Exec(db, "ROLLBACK");
        *why = reason;
        return Verdict::Refused;
    };
    auto failed = [&](int rc) {
        int primary = rc & 0xff;
        if (primary == SQLITE_NOTADB)
            return refuse(std::string("is not a registry file (not a SQLite database)") + kLeftAlone);
        if (primary == SQLITE_CORRUPT)
            return refuse("is damaged (" + std::string(sqlite3_errmsg(db)) + ")" + kLeftAlone);
        return refuse("cannot be read: " + std::string(sqlite3_errmsg(db)));
    };
    int rc = Exec(db, "BEGIN");
    int64_t pages = 0, id = 0, version = 0;
    if (rc != SQLITE_OK || (rc = QueryInt(db, "PRAGMA page_count", &pages)) != SQLITE_OK)
        return failed(rc);
    // Only an empty file is new; SQLite reads a file shorter than a page as one without pages.
    if (pages == 0)
        return failed(SQLITE_NOTADB);
    if ((rc = QueryInt(db, "PRAGMA application_id", &id)) != SQLITE_OK ||
        (rc = QueryInt(db, "PRAGMA user_version", &version)) != SQLITE_OK)
        return failed(rc);
    if (id != kRegistryApplicationId)
        return refuse(std::string("is a SQLite database but not a registry file") + kLeftAlone);
    if (version > kRegistryLayoutVersion)
        return refuse("was written by a newer version (layout " + std::to_string(version) + ")" +
                      kLeftAlone);
    std::string objects;
    if ((rc = QueryText(db, kListSchemaObjects, &objects)) != SQLITE_OK)
        return failed(rc);
    Statements statements;
    std::string unfit;
    if (version != kRegistryLayoutVersion || objects != kSchemaObjects ||
        !PrepareStatements(db, &statements, &unfit))
        return refuse(std::string("has the registry's id but not its tables") + kLeftAlone);
    statements.list.clear();
    std::string verdict;
    if ((rc = QueryText(db, "PRAGMA quick_check(1)", &verdict)) != SQLITE_OK)
        return failed(rc);
    if (verdict != "ok")
        return refuse("is damaged (" + verdict + ")" + kLeftAlone);
    Exec(db, "COMMIT");
    return Verdict::Registry;
}

// Switches the file to WAL mode; returns the result code and the mode in `*mode`. SQLite takes
// the exclusive lock this needs without its busy handler, so a process that meets another's
// lock tries again, for as long as the busy timeout.
int SwitchToWal(sqlite3 *db, std::string *mode)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRegistryBusyTimeoutMs);
    for (;;) {
        int rc = QueryText(db, "PRAGMA journal_mode=WAL", mode);
        if (((rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED) ||
            std::chrono::steady_clock::now() >= deadline)
            return rc;
        sqlite3_sleep(kWalSwitchRetryMs);
    }
}

// Lays out an empty file as a new registry and switches it to WAL mode, unless another process
// did so first; false with the reason.
bool LayOut(const std::string &path, std::string *why)
{
    sqlite3 *db = Connect(SqliteName(path), SQLITE_OPEN_READWRITE, why);
    if (!db)
        return false;
    // While this transaction holds the write lock no other process can write the file, so it
    // is still new if it is still empty (SQLite itself counts a page in a write transaction).
    int rc = Exec(db, "BEGIN IMMEDIATE");
    struct stat info;
    bool empty = rc == SQLITE_OK && stat(path.c_str(), &info) == 0 && info.st_size == 0;
    if (empty) {
        std::string layout = std::string(kSchema) +
                             "PRAGMA application_id=" + std::to_string(kRegistryApplicationId) +
                             ";PRAGMA user_version=" + std::to_string(kRegistryLayoutVersion) + ";";
        rc = Exec(db, layout.c_str());
        if (rc == SQLITE_OK)
            rc = Exec(db, "COMMIT");
    }
    std::string mode;
    if (rc == SQLITE_OK && empty)
        rc = SwitchToWal(db, &mode);
    if (rc != SQLITE_OK)
        *why = "cannot be laid out: " + std::string(sqlite3_errmsg(db));
    Exec(db, "ROLLBACK");
    sqlite3_close_v2(db);
    return rc == SQLITE_OK;
}

// Puts a registry's connection in WAL mode with a full sync; false with the reason.
bool SetUp(sqlite3 *db, std::string *why)
{
    std::string mode;
    int rc = SwitchToWal(db, &mode);
    if (rc == SQLITE_OK && mode != "wal")
        rc = SQLITE_ERROR;
    if (rc == SQLITE_OK)
        rc = Exec(db, "PRAGMA synchronous=FULL");
    if (rc != SQLITE_OK)
        *why = "cannot be set up: " + (mode.empty() || mode == "wal" ? std::string(sqlite3_errmsg(db))
                                                                    : "journal mode stays " + mode);
    return rc == SQLITE_OK;
}

} // namespace

std::string OneLine(const std::string &text, size_t limit)
{
    std::string line;
    bool space = false;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            space = !line.empty();
            continue;
        }
        if (space)
            line += ' ';
        space = false;
        line += (char)c;
    }
    return ShortPath(line, limit);
}

std::string ShortPath(const std::string &text, size_t limit)
{
    if (text.size() <= limit)
        return text;
    size_t head = (limit - 3) / 2, tail = limit - 3 - head;
    return text.substr(0, head) + "..." + text.substr(text.size() - tail);
}

sqlite3 *OpenRegistryFile(const std::string &path, RegistryAccess access, std::string *error)
{
    std::string why;
    struct stat created = {}; // a file this open made, while it may still be removed
    auto fail = [&](sqlite3 *db) -> sqlite3 * {
        sqlite3_close_v2(db);
        // A refused run leaves no file behind: the one it made goes, if still empty.
        struct stat now;
        if (created.st_ino && stat(path.c_str(), &now) == 0 && now.st_dev == created.st_dev &&
            now.st_ino == created.st_ino && now.st_size == 0)
            unlink(path.c_str());
        *error = OneLine("registry file " + ShortPath(path) + " " + why);
        return nullptr;
    };
    const bool readOnly = access == RegistryAccess::ReadOnly;
    for (int round = 0; round < kOpenRounds; ++round) {
        PathFacts facts;
        if (!ExaminePath(path, &facts, &why))
            return fail(nullptr);
        if (!facts.exists) {
            why = "does not exist";
            if (readOnly || !LengthFits(ResolvedNewPath(path), false, &why) ||
                !CreateEmptyFile(path, facts.folder, &created, &why))
                return fail(nullptr);
            continue;
        }
        if (!LengthFits(facts.real, true, &why))
            return fail(nullptr);
        bool writable = facts.fileWritable && facts.folderWritable;
        bool empty = facts.size == 0;
        if (!empty && IsWalMode(facts)) {
            // Another program's file in WAL mode is told from its header: opening it would
            // put -wal and -shm files beside it.
            if ((int)BigEndian32(facts.header + kApplicationIdOffset) != kRegistryApplicationId) {
                why = std::string("is a SQLite database but not a registry file") + kLeftAlone;
                return fail(nullptr);
            }
            uint32_t version = BigEndian32(facts.header + kUserVersionOffset);
            if (version > (uint32_t)kRegistryLayoutVersion) {
                why = "was written by a newer version (layout " + std::to_string(version) + ")" +
                      kLeftAlone;
                return fail(nullptr);
            }
        }
        if (empty) {
            why = "is empty: it holds no sensor cache yet";
            if (readOnly)
                return fail(nullptr);
            why = ReadOnlyReason(facts);
            if (!writable || !LayOut(path, &why))
                return fail(nullptr);
            continue;
        }
        bool mayWrite = false;
        sqlite3 *db = ConnectToRead(path, facts, &mayWrite, &why);
        if (!db)
            return fail(nullptr);
        if (Inspect(db, &why) == Verdict::Refused)
            return fail(db);
        // A connection that may write takes no write from a store that only reads.
        if (readOnly && (!mayWrite || Exec(db, "PRAGMA query_only=1") == SQLITE_OK))
            return db;
        if (readOnly) {
            why = "cannot be set up: " + std::string(sqlite3_errmsg(db));
            return fail(db);
        }
        if (!writable) {
            why = ReadOnlyReason(facts);
            return fail(db);
        }
        if (!mayWrite) {
            sqlite3_close_v2(db);
            if (!(db = Connect(SqliteName(path), SQLITE_OPEN_READWRITE, &why)))
                return fail(nullptr);
        }
        if (!SetUp(db, &why))
            return fail(db);
        return db;
    }
    why = "keeps changing while it is opened";
    return fail(nullptr);
}

} // namespace host
