// ktsensors given registry files it must not use or change: each is refused with one line on
// stderr and exit 1, and the folder holding it is byte for byte what it was (no file changed,
// none added: no -wal or -shm beside a refused file, no target for a dangling link). Read-only
// files and folders are reported as such, and --dump-registry reads them. Processes started
// together on a new registry file all get it.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>

#include "platform/host/sqlite_file.h"

namespace {

const std::string kBinary = KTSENSORS_BINARY;
// The user the read-only cases run as when the tests run as root, who may write anything.
const uid_t kNobody = 65534;

struct Result {
    int code = -1;
    std::string out, err;
};

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

size_t LineCount(const std::string &text)
{
    size_t lines = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        ++lines;
    return lines;
}

// FNV-1a, 64 bits: enough to see that a file's bytes changed.
uint64_t Checksum(const std::string &bytes)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes)
        hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

// Every entry of a folder with its kind, mode and, for files, checksum; links with their target.
std::map<std::string, std::string> Snapshot(const std::string &folder)
{
    std::map<std::string, std::string> entries;
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return entries;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name, path = folder + "/" + name;
        if (name == "." || name == ".." || name == "out.txt" || name == "err.txt")
            continue;
        struct stat info;
        lstat(path.c_str(), &info);
        std::ostringstream what;
        what << std::oct << (info.st_mode & 07777) << std::dec << " ";
        if (S_ISREG(info.st_mode))
            what << "file " << info.st_size << " " << std::hex << Checksum(ReadFile(path));
        else if (S_ISLNK(info.st_mode)) {
            char target[4096] = {};
            what << "link " << std::string(target, (size_t)std::max<ssize_t>(0, readlink(path.c_str(), target, sizeof target - 1)));
        } else
            what << (S_ISDIR(info.st_mode) ? "folder" : "other");
        entries[name] = what.str();
    }
    closedir(dir);
    return entries;
}

// Runs SQL on a new or existing database file, as another program would.
void Sql(const std::string &path, const std::string &sql)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

class RegistryFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/ktsensors-registry-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        dir_ = pattern;
        chmod(dir_.c_str(), 0755);
    }
    void TearDown() override
    {
        (void)!system(("chmod -R u+rwx '" + dir_ + "' 2>/dev/null; rm -rf '" + dir_ + "'").c_str());
    }

    // Runs ktsensors with `args` in the test's folder on the virtual clock; as `kNobody` when
    // asked and running as root (the binary is copied where that user can run it).
    Result Run(const std::string &args, bool unprivileged = false)
    {
        std::string binary = kBinary, prefix;
        if (unprivileged && geteuid() == 0) {
            binary = Path("bin/ktsensors");
            if (access(binary.c_str(), X_OK) != 0)
                (void)!system(("mkdir -p '" + Path("bin") + "' && cp '" + kBinary + "' '" + binary + "'").c_str());
            prefix = "setpriv --reuid=" + std::to_string(kNobody) + " --regid=" + std::to_string(kNobody) +
                     " --clear-groups ";
        }
        std::string command = "cd '" + dir_ + "' && env -u XDG_STATE_HOME -u KOVALTHERM_REGISTRY HOME='" + dir_ +
                              "' KOVALTHERM_CLOCK=virtual " + prefix + "'" + binary + "' " + args +
                              " >'" + Path("out.txt") + "' 2>'" + Path("err.txt") + "'";
        int status = system(command.c_str());
        Result result;
        result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = ReadFile(Path("out.txt"));
        result.err = ReadFile(Path("err.txt"));
        return result;
    }

public:
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

    // Makes a registry as ktsensors leaves it, with a sensor cache.
    void MakeRegistry(const std::string &path)
    {
        Result r = Run("--registry '" + path + "'");
        ASSERT_EQ(r.code, 0) << r.err;
    }

    std::string dir_;
};

// ---- Files that are not registries ---------------------------------------------------------

TEST_F(RegistryFileTest, RefusesEveryFileThatIsNotARegistryAndLeavesTheFolderAsItWas)
{
    struct Case {
        const char *name;
        std::function<void(RegistryFileTest &, const std::string &path)> make;
        const char *message; // after "registry file PATH "
    };
    const Case cases[] = {
        {"text", [](RegistryFileTest &, const std::string &p) { WriteFile(p, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n"); },
         "is not a registry file (not a SQLite database); it was left as it is"},
        {"one byte", [](RegistryFileTest &, const std::string &p) { WriteFile(p, "x"); },
         "is not a registry file (not a SQLite database); it was left as it is"},
        {"another program's empty database",
         [](RegistryFileTest &, const std::string &p) { Sql(p, "CREATE TABLE t (x); DROP TABLE t;"); },
         "is a SQLite database but not a registry file; it was left as it is"},
        {"another program's database with tables",
         [](RegistryFileTest &, const std::string &p) { Sql(p, "CREATE TABLE notes (text); INSERT INTO notes VALUES ('mine');"); },
         "is a SQLite database but not a registry file; it was left as it is"},
        {"another program's database in WAL mode",
         [](RegistryFileTest &, const std::string &p) { Sql(p, "PRAGMA journal_mode=WAL; CREATE TABLE notes (text);"); },
         "is a SQLite database but not a registry file; it was left as it is"},
        {"another program's id, no tables",
         [](RegistryFileTest &, const std::string &p) { Sql(p, "PRAGMA application_id=1234;"); },
         "is a SQLite database but not a registry file; it was left as it is"},
        {"the registry's id with other tables",
         [](RegistryFileTest &, const std::string &p) {
             Sql(p, "PRAGMA application_id=" + std::to_string(host::kRegistryApplicationId) +
                        "; PRAGMA user_version=1; CREATE TABLE keys (x); CREATE TABLE vals (y);");
         },
         "has the registry's id but not its tables; it was left as it is"},
        {"the registry's id, no tables",
         [](RegistryFileTest &, const std::string &p) {
             Sql(p, "PRAGMA application_id=" + std::to_string(host::kRegistryApplicationId) + "; PRAGMA user_version=1;");
         },
         "has the registry's id but not its tables; it was left as it is"},
        {"a newer layout",
         [](RegistryFileTest &t, const std::string &p) {
             t.MakeRegistry(p);
             Sql(p, "PRAGMA user_version=99");
         },
         "was written by a newer version (layout 99); it was left as it is"},
        {"damaged",
         [](RegistryFileTest &t, const std::string &p) {
             t.MakeRegistry(p);
             std::string bytes = ReadFile(p);
             for (size_t i = 4096; i < bytes.size(); i += 3)
                 bytes[i] = (char)0x5A;
             WriteFile(p, bytes);
         },
         "is damaged ("},
        {"truncated",
         [](RegistryFileTest &t, const std::string &p) {
             t.MakeRegistry(p);
             WriteFile(p, ReadFile(p).substr(0, 200));
         },
         "is damaged ("},
        {"a folder", [](RegistryFileTest &, const std::string &p) { mkdir(p.c_str(), 0755); }, "is a folder, not a file"},
        {"a pipe", [](RegistryFileTest &, const std::string &p) { mkfifo(p.c_str(), 0644); }, "is not a regular file"},
        {"a dangling link",
         [](RegistryFileTest &, const std::string &p) { (void)!symlink("nowhere.db", p.c_str()); },
         "is a symbolic link to nowhere.db, which does not exist; it was not created"},
        {"a link in a loop",
         [](RegistryFileTest &t, const std::string &p) { (void)!symlink("loop.db", p.c_str()), (void)!symlink("registry.db", t.Path("loop.db").c_str()); },
         "is a symbolic link to loop.db, a loop of links; it was not created"},
        // SQLite keeps the log beside the name it opens: two names would be two logs.
        {"a registry with a second name (hard link)",
         [](RegistryFileTest &t, const std::string &p) { t.MakeRegistry(t.Path("first.db")), (void)!link(t.Path("first.db").c_str(), p.c_str()); },
         "has 2 names (hard links), but SQLite keeps a file's log beside the name it is opened by"},
    };
    for (const Case &c : cases) {
        std::string path = Path("registry.db");
        c.make(*this, path);
        const auto before = Snapshot(dir_);
        for (const char *mode : {"", " --dump-registry"}) {
            Result r = Run("--registry '" + path + "'" + mode);
            std::string what = std::string(c.name) + mode;
            EXPECT_EQ(r.code, 1) << what;
            EXPECT_EQ(r.err.rfind("ktsensors: registry file " + path + " " + c.message, 0), 0u) << what << ": " << r.err;
            EXPECT_EQ(LineCount(r.err), 1u) << what << ": " << r.err;
            EXPECT_EQ(r.out, "") << what;
            EXPECT_EQ(Snapshot(dir_), before) << what;
        }
        (void)!system(("rm -rf '" + path + "' '" + Path("loop.db") + "'").c_str());
    }
}

// SQLite's special names are plain file names; a path longer than SQLite opens (504 characters
// once links are resolved) is refused with its whole reason, and nothing is created.
TEST_F(RegistryFileTest, SpecialAndLongNamesArePlainFilesOrRefusedWhole)
{
    // A folder chain that brings the path to exactly 504 characters with a 4-character name.
    std::string deep = dir_;
    while (deep.size() + 1 + 4 < 504)
        deep += "/" + std::string(std::min<size_t>(100, 504 - 4 - 1 - deep.size() - 1), 'd');
    ASSERT_EQ(system(("mkdir -p '" + deep + "'").c_str()), 0);
    ASSERT_EQ(deep.size() + 5, 504u);
    const std::pair<std::string, std::string> cases[] = { // the path; the end of the one line on stderr
        {":memory:", ""},
        {"file:x.db?mode=memory", ""},
        {deep + "/r.db", ""},
        {deep + "/r5.db", "has a path of 505 characters once links are resolved, longer than SQLite opens (504); it was not created\n"},
        {deep + "/sub/r.db", "/sub does not exist\n"},
    };
    for (const auto &[path, messageEnd] : cases) {
        SCOPED_TRACE(path);
        Result r = Run("--registry '" + path + "'");
        EXPECT_EQ(r.code, messageEnd.empty() ? 0 : 1) << r.err;
        EXPECT_EQ(LineCount(r.err), messageEnd.empty() ? 0u : 1u) << r.err;
        EXPECT_LE(r.err.size(), 320u);
        EXPECT_TRUE(r.err.size() >= messageEnd.size() && r.err.substr(r.err.size() - messageEnd.size()) == messageEnd);
        // A name that was used is a registry file by that name; a refused one left nothing.
        EXPECT_EQ(access((path[0] == '/' ? path : Path(path)).c_str(), F_OK) == 0, messageEnd.empty());
        EXPECT_EQ(Run("--registry '" + path + "' --dump-registry").code, messageEnd.empty() ? 0 : 1);
    }
}

// ---- Read-only files and folders -----------------------------------------------------------

TEST_F(RegistryFileTest, ReportsReadOnlyFilesAndFoldersAndDumpsThem)
{
    struct Case {
        const char *name;
        mode_t fileMode, folderMode; // 0 for the file: there is none
        int runCode;
        const char *runMessage; // after "registry file PATH "
    };
    const Case cases[] = {
        {"read-only file", 0444, 0777, 1, "is read-only"},
        {"read-only folder", 0666, 0555, 1, "is in a read-only folder ("},
        {"read-only file in a read-only folder", 0444, 0555, 1, "is read-only"},
        {"no file in a read-only folder", 0, 0555, 1, "cannot be created: the folder "},
    };
    for (const Case &c : cases) {
        std::string folder = Path("state"), path = folder + "/registry.db";
        ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
        chmod(folder.c_str(), 0777);
        if (c.fileMode) {
            MakeRegistry(path);
            chmod(path.c_str(), c.fileMode);
        }
        chmod(folder.c_str(), c.folderMode);
        const auto before = Snapshot(folder);
        Result r = Run("--registry '" + path + "'", true);
        EXPECT_EQ(r.code, c.runCode) << c.name;
        EXPECT_EQ(r.err.rfind("ktsensors: registry file " + path + " " + c.runMessage, 0), 0u) << c.name << ": " << r.err;
        EXPECT_EQ(LineCount(r.err), 1u) << c.name << ": " << r.err;
        EXPECT_EQ(r.err.find("attempt to write"), std::string::npos) << c.name << ": " << r.err;
        EXPECT_EQ(Snapshot(folder), before) << c.name;

        Result dump = Run("--registry '" + path + "' --dump-registry", true);
        if (c.fileMode) {
            EXPECT_EQ(dump.code, 0) << c.name << ": " << dump.err;
            EXPECT_EQ(dump.out.rfind("REGEDIT4\n", 0), 0u) << c.name;
            EXPECT_NE(dump.out.find("\"Number of sensors\"=dword:00000003"), std::string::npos) << c.name;
        } else {
            EXPECT_EQ(dump.code, 1) << c.name;
        }
        EXPECT_EQ(Snapshot(folder), before) << c.name;
        (void)!system(("chmod -R u+rwx '" + folder + "'; rm -rf '" + folder + "'").c_str());
    }
}

// A registry in use by nothing is dumped without leaving -wal or -shm files beside it.
TEST_F(RegistryFileTest, DumpingLeavesNothingBesideTheRegistry)
{
    std::string path = Path("registry.db");
    MakeRegistry(path);
    const auto before = Snapshot(dir_);
    Result dump = Run("--registry '" + path + "' --dump-registry");
    EXPECT_EQ(dump.code, 0) << dump.err;
    EXPECT_EQ(Snapshot(dir_), before);
}

// ---- Processes starting together -----------------------------------------------------------

// Eight processes started at once on a new registry file, many times over: none fails on the
// file. Failures of another kind (a process that read the sensor cache while another was still
// writing it) are printed, with their messages.
TEST_F(RegistryFileTest, ProcessesStartedTogetherOnANewFileAllGetIt)
{
    const int kProcesses = 8, kRounds = 50;
    std::map<std::string, int> fileFailures, otherFailures;
    int ok = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::string path = Path("race" + std::to_string(round) + ".db");
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> children;
        for (int p = 0; p < kProcesses; ++p) {
            pid_t child = fork();
            if (child == 0) {
                close(gate[1]);
                char go;
                (void)!read(gate[0], &go, 1); // returns when the parent closes the gate
                std::string err = Path("race-" + std::to_string(p) + ".err");
                int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(fd, 2);
                int devnull = open("/dev/null", O_WRONLY);
                dup2(devnull, 1);
                setenv("KOVALTHERM_CLOCK", "virtual", 1);
                execl(kBinary.c_str(), kBinary.c_str(), "--registry", path.c_str(), (char *)nullptr);
                _exit(127);
            }
            children.push_back(child);
        }
        close(gate[0]);
        close(gate[1]);
        for (int p = 0; p < kProcesses; ++p) {
            int status = 0;
            waitpid(children[p], &status, 0);
            std::string err = ReadFile(Path("race-" + std::to_string(p) + ".err"));
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                ++ok;
                continue;
            }
            if (err.empty())
                err = "exit status " + std::to_string(status);
            bool aboutTheFile = err.find("registry file") != std::string::npos ||
                                err.find("database") != std::string::npos;
            ++(aboutTheFile ? fileFailures : otherFailures)[err];
        }
    }
    for (auto &[message, count] : otherFailures)
        printf("other failure, %d times: %s", count, message.c_str());
    printf("%d of %d runs succeeded\n", ok, kProcesses * kRounds);
    for (auto &[message, count] : fileFailures)
        ADD_FAILURE() << count << " times: " << message;
}

} // namespace
