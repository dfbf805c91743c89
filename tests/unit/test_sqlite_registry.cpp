// The registry stores: the same contract in memory and in a SQLite file, and what only the file
// adds (persistence, sharing between processes, refusing files that are not registries).
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>

#include "tests/support/machine.h"
#include "platform/host/sqlite_file.h"
#include "platform/host/sqlite_registry.h"

namespace {

// A fresh directory for registry files, removed with its contents afterwards.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
        pattern += "/kovaltherm-registry-XXXXXX";
        path_ = mkdtemp(&pattern[0]) ? pattern : "";
    }
    ~TempDir() { (void)!system(("rm -rf '" + path_ + "'").c_str()); }
    std::string File(const std::string &name) const { return path_ + "/" + name; }
    // The names in the directory, sorted.
    std::vector<std::string> Listing() const
    {
        std::vector<std::string> names;
        if (DIR *dir = opendir(path_.c_str())) {
            while (dirent *entry = readdir(dir))
                if (entry->d_name[0] != '.')
                    names.push_back(entry->d_name);
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
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

host::RegValue Dw(uint32_t v)
{
    host::RegValue value;
    value.type = REG_DWORD;
    value.data = {(BYTE)v, (BYTE)(v >> 8), (BYTE)(v >> 16), (BYTE)(v >> 24)};
    return value;
}

std::unique_ptr<host::SqliteRegistry> OpenFile(const std::string &path)
{
    std::string error;
    auto store = host::MakeSqliteRegistry(path, &error);
    EXPECT_TRUE(store) << error;
    return store;
}

// ---- The store contract, for both stores -------------------------------------------------

class StoreContract : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        if (GetParam())
            store_ = OpenFile(dir_.File("registry.db"));
        else
            store_ = host::MakeMemoryRegistry();
        ASSERT_TRUE(store_);
    }
    TempDir dir_;
    std::unique_ptr<host::RegistryStore> store_;
};

TEST_P(StoreContract, KeysAndValuesCompareCaseInsensitively)
{
    host::RegistryStore &s = *store_;
    EXPECT_TRUE(s.KeyExists(""));
    EXPECT_FALSE(s.KeyExists("SOFTWARE"));
    ASSERT_TRUE(s.CreateKey("SOFTWARE\\Norvane\\Thermal"));
    for (const char *path : {"software", "SOFTWARE\\NORVANE", "software\\norvane\\thermal"})
        EXPECT_TRUE(s.KeyExists(path)) << path;
    ASSERT_TRUE(s.SetValue("software\\norvane\\THERMAL", "Number of sensors", Dw(3)));
    ASSERT_TRUE(s.SetValue("SOFTWARE\\Norvane\\Thermal", "NUMBER OF SENSORS", Dw(4)));
    host::RegValue got;
    ASSERT_TRUE(s.GetValue("Software\\Norvane\\Thermal", "number of sensors", &got));
    EXPECT_EQ(got.type, (DWORD)REG_DWORD);
    EXPECT_EQ(got.data, (std::vector<BYTE>{4, 0, 0, 0}));
    auto values = s.Values("SOFTWARE\\Norvane\\Thermal");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].first, "Number of sensors"); // the name as first set
    EXPECT_FALSE(s.GetValue("SOFTWARE\\Norvane\\Thermal", "Is present", &got));
    EXPECT_FALSE(s.SetValue("SOFTWARE\\Missing", "x", Dw(1)));
    EXPECT_FALSE(s.KeyExists("SOFTWARE\\Missing"));
}

TEST_P(StoreContract, ListsSubkeysAndValuesInCaseInsensitiveOrder)
{
    host::RegistryStore &s = *store_;
    for (const char *name : {"Sensor 1", "sensor 0", "Sensor 10", "SENSOR 2"})
        ASSERT_TRUE(s.CreateKey(std::string("T\\") + name));
    ASSERT_TRUE(s.CreateKey("T\\Sensor 1\\Deeper"));
    EXPECT_EQ(s.SubKeys("t"), (std::vector<std::string>{"sensor 0", "Sensor 1", "Sensor 10", "SENSOR 2"}));
    EXPECT_EQ(s.SubKeys(""), (std::vector<std::string>{"T"}));
    for (const char *name : {"Warning High", "critical High", "Is present", "Previous State"})
        ASSERT_TRUE(s.SetValue("T\\Sensor 1", name, Dw(1)));
    std::vector<std::string> names;
    for (auto &value : s.Values("T\\SENSOR 1"))
        names.push_back(value.first);
    EXPECT_EQ(names, (std::vector<std::string>{"critical High", "Is present", "Previous State", "Warning High"}));
}

TEST_P(StoreContract, DeletesAKeyWithEverythingUnderItButNotItsNamesakes)
{
    host::RegistryStore &s = *store_;
    for (const char *path : {"T\\Sensor 1\\Deeper", "T\\Sensor 10", "T\\Sensor 1x"})
        ASSERT_TRUE(s.CreateKey(path));
    ASSERT_TRUE(s.SetValue("T\\Sensor 1\\Deeper", "v", Dw(1)));
    ASSERT_TRUE(s.SetValue("T\\Sensor 10", "v", Dw(2)));
    EXPECT_TRUE(s.DeleteKey("t\\SENSOR 1"));
    EXPECT_FALSE(s.KeyExists("T\\Sensor 1"));
    EXPECT_FALSE(s.KeyExists("T\\Sensor 1\\Deeper"));
    host::RegValue got;
    EXPECT_FALSE(s.GetValue("T\\Sensor 1\\Deeper", "v", &got));
    EXPECT_TRUE(s.GetValue("T\\Sensor 10", "v", &got));
    EXPECT_TRUE(s.KeyExists("T\\Sensor 1x"));
    EXPECT_FALSE(s.DeleteKey("T\\Sensor 1"));
    EXPECT_FALSE(s.DeleteKey(""));
    EXPECT_TRUE(s.DeleteValue("T\\Sensor 10", "V"));
    EXPECT_FALSE(s.DeleteValue("T\\Sensor 10", "v"));
}

TEST_P(StoreContract, KeepsTypesAndBytesOfEveryValue)
{
    host::RegistryStore &s = *store_;
    ASSERT_TRUE(s.CreateKey("K"));
    const std::vector<host::RegValue> cases = {
        {REG_DWORD, {1, 2, 3, 4}}, {REG_SZ, {'h', 'i', 0}}, {REG_BINARY, {}}, {REG_QWORD, {0, 0, 0, 0, 0, 0, 0, 0x80}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string name = "v" + std::to_string(i);
        ASSERT_TRUE(s.SetValue("K", name, cases[i]));
        host::RegValue got;
        ASSERT_TRUE(s.GetValue("K", name, &got));
        EXPECT_EQ(got.type, cases[i].type) << name;
        EXPECT_EQ(got.data, cases[i].data) << name;
    }
}

// A deleted key made again is a new key: no values or subkeys of the old one, the name it is
// made with, and values of any length; a new store starts empty whatever an earlier one held.
TEST_P(StoreContract, AKeyMadeAgainStartsEmptyAndANewStoreHoldsNothing)
{
    host::RegistryStore &s = *store_;
    ASSERT_TRUE(s.CreateKey("T\\Sensor 0\\Deeper"));
    ASSERT_TRUE(s.SetValue("T\\Sensor 0", "Warning High", {REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9}}));
    ASSERT_TRUE(s.SetValue("T\\Sensor 0", "Is present", Dw(1)));
    ASSERT_TRUE(s.DeleteKey("T\\Sensor 0"));
    ASSERT_TRUE(s.CreateKey("T\\SENSOR 0"));
    EXPECT_TRUE(s.Values("T\\Sensor 0").empty());
    EXPECT_TRUE(s.SubKeys("T\\Sensor 0").empty());
    EXPECT_EQ(s.SubKeys("T"), (std::vector<std::string>{"SENSOR 0"}));
    ASSERT_TRUE(s.SetValue("T\\Sensor 0", "warning high", {REG_DWORD, {7}}));
    auto values = s.Values("T\\Sensor 0");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].first, "warning high");
    EXPECT_EQ(values[0].second.data, (std::vector<BYTE>{7}));

    store_.reset(); // before the next is made, which may take over what it leaves
    if (GetParam())
        store_ = OpenFile(dir_.File("second.db"));
    else
        store_ = host::MakeMemoryRegistry();
    ASSERT_TRUE(store_);
    EXPECT_TRUE(store_->KeyExists(""));
    EXPECT_TRUE(store_->SubKeys("").empty());
    EXPECT_FALSE(store_->KeyExists("T\\Sensor 0"));
}

// A lookup tells a missing key from a missing value and follows every change the store makes,
// including one that writes what is already there.
TEST_P(StoreContract, FindValueTellsAMissingKeyFromAMissingValueAndFollowsEveryWrite)
{
    host::RegistryStore &s = *store_;
    struct Step {
        const char *what;
        std::function<bool(host::RegistryStore &)> change; // nullptr: look only
        host::Lookup expected;
        std::vector<BYTE> data; // when Found
    };
    const Step steps[] = {
        {"no key", nullptr, host::Lookup::NoKey, {}},
        {"key created", [](host::RegistryStore &r) { return r.CreateKey("T\\Sensor 0"); },
         host::Lookup::NoValue, {}},
        {"value set", [](host::RegistryStore &r) { return r.SetValue("T\\Sensor 0", "Previous State", Dw(1)); },
         host::Lookup::Found, {1, 0, 0, 0}},
        {"same value set again",
         [](host::RegistryStore &r) { return r.SetValue("t\\sensor 0", "PREVIOUS STATE", Dw(1)); },
         host::Lookup::Found, {1, 0, 0, 0}},
        {"value changed", [](host::RegistryStore &r) { return r.SetValue("T\\Sensor 0", "Previous State", Dw(3)); },
         host::Lookup::Found, {3, 0, 0, 0}},
        {"value deleted", [](host::RegistryStore &r) { return r.DeleteValue("T\\Sensor 0", "Previous State"); },
         host::Lookup::NoValue, {}},
        {"value set again", [](host::RegistryStore &r) { return r.SetValue("T\\Sensor 0", "Previous State", Dw(2)); },
         host::Lookup::Found, {2, 0, 0, 0}},
        {"parent deleted", [](host::RegistryStore &r) { return r.DeleteKey("T"); }, host::Lookup::NoKey, {}},
    };
    for (const Step &step : steps) {
        if (step.change) {
            ASSERT_TRUE(step.change(s)) << step.what;
        }
        // Twice: the second lookup may be answered from what the first one read.
        for (int round = 0; round < 2; ++round) {
            host::RegValue got;
            EXPECT_EQ(s.FindValue("t\\SENSOR 0", "previous state", &got), step.expected) << step.what;
            EXPECT_EQ(s.KeyExists("T\\Sensor 0"), step.expected != host::Lookup::NoKey) << step.what;
            EXPECT_EQ(s.GetValue("T\\Sensor 0", "Previous State", &got),
                      step.expected == host::Lookup::Found) << step.what;
            if (step.expected == host::Lookup::Found) {
                EXPECT_EQ(got.type, (DWORD)REG_DWORD) << step.what;
                EXPECT_EQ(got.data, step.data) << step.what;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreContract, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "Sqlite" : "Memory";
                         });

// ---- What only the file adds ---------------------------------------------------------------

TEST(SqliteRegistry, KeepsEverythingAcrossReopening)
{
    TempDir dir;
    std::string path = dir.File("registry.db");
    {
        auto store = OpenFile(path);
        ASSERT_TRUE(store->CreateKey("SOFTWARE\\Norvane\\QuenlarFeatures\\Thermal\\Sensor 0"));
        ASSERT_TRUE(store->SetValue("SOFTWARE\\Norvane\\QuenlarFeatures\\Thermal\\Sensor 0",
                                    "Previous State", Dw(2)));
    }
    auto store = OpenFile(path);
    host::RegValue got;
    ASSERT_TRUE(store->GetValue("software\\norvane\\quenlarfeatures\\thermal\\sensor 0",
                                "previous state", &got));
    EXPECT_EQ(got.data, (std::vector<BYTE>{2, 0, 0, 0}));
    EXPECT_EQ(store->SubKeys("SOFTWARE\\Norvane\\QuenlarFeatures\\Thermal"),
              (std::vector<std::string>{"Sensor 0"}));
}

TEST(SqliteRegistry, LaysOutAnEmptyFileButNotAMissingDirectory)
{
    TempDir dir;
    WriteFile(dir.File("empty.db"), "");
    auto store = OpenFile(dir.File("empty.db"));
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->CreateKey("K"));

    std::string error;
    EXPECT_FALSE(host::MakeSqliteRegistry(dir.File("no/such/dir/registry.db"), &error));
    EXPECT_NE(error.find("cannot be created: the folder " + dir.File("no/such/dir") + " does not exist"),
              std::string::npos)
        << error;
}

// Makes a SQLite database that is not a registry.
void MakeOtherDatabase(const std::string &path)
{
    sqlite3 *db;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE notes (text TEXT); INSERT INTO notes VALUES ('mine');", nullptr,
                 nullptr, nullptr);
    sqlite3_close(db);
}

// Makes a registry whose layout version is newer than this build knows.
void MakeNewerRegistry(const std::string &path)
{
    OpenFile(path).reset();
    sqlite3 *db;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

// Makes a registry with many keys, then overwrites the middle of the file with garbage.
void MakeDamagedRegistry(const std::string &path)
{
    {
        auto store = OpenFile(path);
        for (int i = 0; i < 400; ++i)
            store->CreateKey("SOFTWARE\\Filler\\Key number " + std::to_string(i));
    }
    std::string bytes = ReadFile(path);
    ASSERT_GT(bytes.size(), 3u * 4096);
    for (size_t i = 4096; i < bytes.size() - 100; i += 7)
        bytes[i] = (char)0xA5;
    WriteFile(path, bytes);
}

// Runs SQL on a database file as another program would.
void Sql(const std::string &path, const std::string &sql)
{
    sqlite3 *db;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

const std::string kRegistryId = std::to_string(host::kRegistryApplicationId);

TEST(SqliteRegistry, RefusesFilesThatAreNotRegistriesAndLeavesThemAsTheyWere)
{
    struct Case {
        const char *name;
        std::function<void(const std::string &path)> make;
        const char *message;
    };
    const Case cases[] = {
        {"text", [](const std::string &p) { WriteFile(p, "[HKEY_LOCAL_MACHINE]\nnot a database\n"); },
         "is not a registry file (not a SQLite database)"},
        {"other-database", MakeOtherDatabase, "is a SQLite database but not a registry file"},
        {"other-empty-database", [](const std::string &p) { Sql(p, "CREATE TABLE t (x); DROP TABLE t;"); },
         "is a SQLite database but not a registry file"},
        {"other-wal-database", [](const std::string &p) { Sql(p, "PRAGMA journal_mode=WAL; CREATE TABLE t (x);"); },
         "is a SQLite database but not a registry file"},
        {"registry-id-other-tables",
         [](const std::string &p) { Sql(p, "PRAGMA application_id=" + kRegistryId + "; PRAGMA user_version=1; CREATE TABLE keys (x);"); },
         "has the registry's id but not its tables"},
        {"registry-id-other-columns",
         [](const std::string &p) {
             Sql(p, "PRAGMA application_id=" + kRegistryId + "; PRAGMA user_version=1; CREATE TABLE keys (path);"
                    "CREATE INDEX keys_by_parent ON keys (path); CREATE TABLE vals (key);");
         },
         "has the registry's id but not its tables"},
        {"registry-id-wal-no-version",
         [](const std::string &p) { Sql(p, "PRAGMA journal_mode=WAL; PRAGMA application_id=" + kRegistryId + "; CREATE TABLE t (x);"); },
         "has the registry's id but not its tables"},
        {"newer", MakeNewerRegistry, "was written by a newer version (layout 99)"},
        {"damaged", MakeDamagedRegistry, "is damaged"},
        {"folder", [](const std::string &p) { mkdir(p.c_str(), 0755); }, "is a folder, not a file"},
        {"dangling-link", [](const std::string &p) { (void)!symlink("target.db", p.c_str()); },
         "is a symbolic link to target.db, which does not exist; it was not created"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        std::string path = dir.File(c.name);
        c.make(path);
        struct stat info;
        auto contents = [&] { return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? ReadFile(path) : ""; };
        std::string before = contents();
        auto listing = dir.Listing();
        for (auto access : {host::RegistryAccess::ReadWrite, host::RegistryAccess::ReadOnly}) {
            std::string error;
            EXPECT_FALSE(host::MakeSqliteRegistry(path, &error, access)) << c.name;
            EXPECT_EQ(error.rfind("registry file " + path + " " + c.message, 0), 0u) << c.name << ": " << error;
            EXPECT_EQ(error.find('\n'), std::string::npos) << c.name << ": " << error;
            EXPECT_TRUE(contents() == before) << c.name;
            EXPECT_EQ(dir.Listing(), listing) << c.name; // no -wal, -shm or link target
        }
    }
}

// Read-only access creates nothing and lays nothing out, reads a registry, and writes nothing.
TEST(SqliteRegistry, ReadOnlyAccessReadsARegistryAndChangesNothing)
{
    TempDir dir;
    std::string error;
    const auto readOnly = host::RegistryAccess::ReadOnly;
    EXPECT_FALSE(host::MakeSqliteRegistry(dir.File("missing.db"), &error, readOnly));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
    WriteFile(dir.File("empty.db"), "");
    EXPECT_FALSE(host::MakeSqliteRegistry(dir.File("empty.db"), &error, readOnly));
    EXPECT_NE(error.find("is empty"), std::string::npos) << error;
    EXPECT_EQ(dir.Listing(), (std::vector<std::string>{"empty.db"}));
    EXPECT_EQ(ReadFile(dir.File("empty.db")), "");

    std::string path = dir.File("registry.db");
    {
        auto store = OpenFile(path);
        ASSERT_TRUE(store->CreateKey("T\\K"));
        ASSERT_TRUE(store->SetValue("T\\K", "v", Dw(5)));
    }
    std::string before = ReadFile(path);
    auto listing = dir.Listing();
    {
        auto store = host::MakeSqliteRegistry(path, &error, readOnly);
        ASSERT_TRUE(store) << error;
        host::RegValue got;
        ASSERT_EQ(store->FindValue("t\\k", "V", &got), host::Lookup::Found);
        EXPECT_EQ(got.data, Dw(5).data);
        EXPECT_EQ(store->SubKeys("T"), (std::vector<std::string>{"K"}));
        EXPECT_FALSE(store->SetValue("T\\K", "v", Dw(6)));
        EXPECT_FALSE(store->CreateKey("T\\L"));
        EXPECT_NE(store->LastError(), "");
    }
    EXPECT_TRUE(ReadFile(path) == before);
    EXPECT_EQ(dir.Listing(), listing);
}

// Processes that open a new file at the same moment all get the one registry, laid out once.
TEST(SqliteRegistry, ProcessesOpeningANewFileTogetherAllGetIt)
{
    const int kProcesses = 8, kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        TempDir dir;
        std::string path = dir.File("new.db");
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> children;
        for (int p = 0; p < kProcesses; ++p) {
            pid_t child = fork();
            if (child == 0) {
                close(gate[1]);
                char go;
                (void)!read(gate[0], &go, 1);
                std::string error;
                auto store = host::MakeSqliteRegistry(path, &error);
                if (!store) {
                    fprintf(stderr, "%s\n", error.c_str());
                    _exit(1);
                }
                bool ok = store->CreateKey("P\\" + std::to_string(p)) &&
                          store->SetValue("P\\" + std::to_string(p), "v", Dw((uint32_t)p));
                _exit(ok ? 0 : 2);
            }
            children.push_back(child);
        }
        close(gate[0]);
        close(gate[1]);
        for (pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
        EXPECT_EQ(OpenFile(path)->SubKeys("P").size(), (size_t)kProcesses) << "round " << round;
        EXPECT_EQ(dir.Listing(), (std::vector<std::string>{"new.db"})) << "round " << round;
    }
}

TEST(SqliteRegistry, MessagesKeepToOneLine)
{
    struct Case {
        std::string text;
        size_t limit;
        std::string expected;
    };
    const Case cases[] = {
        {"plain", 240, "plain"},
        {"*** in database main ***\nPage 3: btree damaged\n", 240, "*** in database main *** Page 3: btree damaged"},
        {"tab\there\r\n\nand there", 240, "tab here and there"},
        // Too long: the middle goes, so that the end (the reason) is always there.
        {"registry file /var/lib/kovaltherm/registry.db is read-only", 32, "registry file ...db is read-only"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(host::OneLine(c.text, c.limit), c.expected) << c.text;
}

TEST(SqliteRegistry, TwoProcessesWritingAtOnceLoseNothing)
{
    TempDir dir;
    std::string path = dir.File("shared.db");
    OpenFile(path)->CreateKey("Shared");
    const int kWrites = 150;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        if (children[c] == 0) {
            std::string error;
            auto store = host::MakeSqliteRegistry(path, &error);
            int failures = store ? 0 : 1;
            for (int i = 0; store && i < kWrites; ++i)
                failures += !store->SetValue("Shared", "p" + std::to_string(c) + "-" + std::to_string(i), Dw(i));
            _exit(failures ? 1 : 0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(OpenFile(path)->Values("Shared").size(), 2u * kWrites);
}

TEST(SqliteRegistry, AProcessKilledMidWriteLosesNothingItWrote)
{
    TempDir dir;
    std::string path = dir.File("crash.db");
    OpenFile(path)->CreateKey("Log");
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        std::string error;
        auto store = host::MakeSqliteRegistry(path, &error);
        for (uint32_t i = 0; store; ++i) {
            if (!store->SetValue("Log", "entry " + std::to_string(i), Dw(i)))
                _exit(1);
            if (write(pipeEnds[1], &i, sizeof i) != sizeof i)
                _exit(1);
        }
        _exit(1);
    }
    close(pipeEnds[1]);
    uint32_t written = 0, last = 0;
    while (written < 60 && read(pipeEnds[0], &last, sizeof last) == sizeof last)
        ++written;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(pipeEnds[0]);
    ASSERT_EQ(written, 60u);

    auto store = OpenFile(path); // passes the integrity check
    ASSERT_TRUE(store);
    for (uint32_t i = 0; i <= last; ++i) {
        host::RegValue got;
        EXPECT_TRUE(store->GetValue("Log", "entry " + std::to_string(i), &got)) << i;
    }
}

// Each lookup sees what another connection to the file committed just before it, even when the
// same lookup was made before the change.
TEST(SqliteRegistry, EveryLookupSeesWhatAnotherConnectionCommittedJustBefore)
{
    struct Case {
        const char *what;
        void (*change)(host::RegistryStore &other, sqlite3 *raw);
        bool keyExists;
        host::Lookup lookup;
        std::vector<BYTE> data;
        bool newKeyExists;
    };
    const Case cases[] = {
        {"value changed", [](host::RegistryStore &o, sqlite3 *) { o.SetValue("T\\K", "v", Dw(7)); },
         true, host::Lookup::Found, {7, 0, 0, 0}, false},
        {"type changed",
         [](host::RegistryStore &o, sqlite3 *) { o.SetValue("T\\K", "v", host::RegValue{REG_SZ, {'7', 0}}); },
         true, host::Lookup::Found, {'7', 0}, false},
        {"value deleted", [](host::RegistryStore &o, sqlite3 *) { o.DeleteValue("T\\K", "V"); },
         true, host::Lookup::NoValue, {}, false},
        {"key deleted", [](host::RegistryStore &o, sqlite3 *) { o.DeleteKey("t\\k"); },
         false, host::Lookup::NoKey, {}, false},
        {"key created", [](host::RegistryStore &o, sqlite3 *) { o.CreateKey("T\\New"); },
         true, host::Lookup::Found, {1, 0, 0, 0}, true},
        // A writer that is not this store: plain SQL on the same tables.
        {"changed by plain SQL",
         [](host::RegistryStore &, sqlite3 *raw) {
             sqlite3_exec(raw, "UPDATE vals SET data = x'09000000' WHERE key = 't\\k'", nullptr,
                          nullptr, nullptr);
         },
         true, host::Lookup::Found, {9, 0, 0, 0}, false},
        // The log emptied by a checkpoint and written again from its start.
        {"changed after the log was truncated",
         [](host::RegistryStore &, sqlite3 *raw) {
             sqlite3_exec(raw, "PRAGMA wal_checkpoint(TRUNCATE);"
                               "UPDATE vals SET data = x'0A000000' WHERE key = 't\\k'",
                          nullptr, nullptr, nullptr);
         },
         true, host::Lookup::Found, {10, 0, 0, 0}, false},
    };
    for (const Case &c : cases) {
        TempDir dir;
        std::string path = dir.File("registry.db");
        auto store = OpenFile(path);
        auto other = OpenFile(path);
        ASSERT_TRUE(store && other);
        ASSERT_TRUE(store->CreateKey("T\\K"));
        ASSERT_TRUE(store->SetValue("T\\K", "v", Dw(1)));
        host::RegValue got;
        for (int round = 0; round < 2; ++round) {
            ASSERT_TRUE(store->KeyExists("T\\K"));
            ASSERT_FALSE(store->KeyExists("T\\New"));
            ASSERT_EQ(store->FindValue("T\\K", "v", &got), host::Lookup::Found);
        }
        sqlite3 *raw = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
        c.change(*other, raw);
        sqlite3_close(raw);
        EXPECT_EQ(store->KeyExists("T\\K"), c.keyExists) << c.what;
        EXPECT_EQ(store->KeyExists("T\\New"), c.newKeyExists) << c.what;
        got = host::RegValue{};
        EXPECT_EQ(store->FindValue("T\\K", "v", &got), c.lookup) << c.what;
        if (c.lookup == host::Lookup::Found) {
            EXPECT_EQ(got.data, c.data) << c.what;
        }
    }
}

// Closes the parent's pipe ends and waits for the child however a test ends; the child sees
// the closed pipe and exits.
struct ChildEnd {
    pid_t pid;
    int fds[2];
    int *status;
    ~ChildEnd()
    {
        for (int fd : fds)
            close(fd);
        waitpid(pid, status, 0);
    }
};

TEST(SqliteRegistry, AReaderSeesEveryWriteOfAnotherProcessAsSoonAsItReturns)
{
    TempDir dir;
    std::string path = dir.File("shared.db");
    auto store = OpenFile(path);
    ASSERT_TRUE(store->CreateKey("Shared"));
    ASSERT_TRUE(store->SetValue("Shared", "Counter", Dw(0)));
    const uint32_t kWrites = 100;
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    pid_t child = fork();
    if (child == 0) {
        // Writes 1..kWrites, each after the parent's go-ahead, then deletes the key.
        close(toChild[1]);
        close(toParent[0]);
        std::string error;
        auto writer = host::MakeSqliteRegistry(path, &error);
        for (uint32_t i = 1; writer && i <= kWrites + 1; ++i) {
            char go;
            if (read(toChild[0], &go, 1) != 1)
                _exit(1);
            bool ok = i <= kWrites ? writer->SetValue("Shared", "Counter", Dw(i))
                                   : writer->DeleteKey("Shared");
            if (!ok || write(toParent[1], &i, sizeof i) != sizeof i)
                _exit(1);
        }
        _exit(writer ? 0 : 1);
    }
    close(toChild[0]);
    close(toParent[1]);
    int status = -1;
    {
        ChildEnd end{child, {toChild[1], toParent[0]}, &status};
        // Lets the child make its next write and waits until that write has returned.
        auto nextWrite = [&](uint32_t expected) {
            uint32_t done = 0;
            ASSERT_EQ(write(toChild[1], "g", 1), 1);
            ASSERT_EQ(read(toParent[0], &done, sizeof done), (ssize_t)sizeof done);
            ASSERT_EQ(done, expected);
        };
        host::RegValue got;
        for (uint32_t i = 1; i <= kWrites; ++i) {
            // Before the write the reader sees the previous one, and may remember it.
            ASSERT_EQ(store->FindValue("Shared", "Counter", &got), host::Lookup::Found) << i;
            ASSERT_EQ(got.data, Dw(i - 1).data) << i;
            nextWrite(i);
            ASSERT_EQ(store->FindValue("Shared", "Counter", &got), host::Lookup::Found) << i;
            ASSERT_EQ(got.data, Dw(i).data) << i;
        }
        ASSERT_TRUE(store->KeyExists("Shared"));
        nextWrite(kWrites + 1); // deletes the key
        EXPECT_FALSE(store->KeyExists("Shared"));
        EXPECT_EQ(store->FindValue("Shared", "Counter", &got), host::Lookup::NoKey);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A write of the type and bytes a current lookup shows needs no transaction, so it succeeds
// even while another connection holds the write lock; any other write still waits for it.
TEST(SqliteRegistry, WritingWhatIsStoredAlreadyNeedsNoTransaction)
{
    TempDir dir;
    std::string path = dir.File("registry.db");
    auto store = OpenFile(path);
    ASSERT_TRUE(store->CreateKey("T\\K"));
    ASSERT_TRUE(store->SetValue("T\\K", "v", Dw(1)));
    host::RegValue got;
    ASSERT_EQ(store->FindValue("T\\K", "v", &got), host::Lookup::Found);

    sqlite3 *raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(store->SetValue("t\\k", "V", Dw(1)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    // Another process changes the value: the same write is then a real one.
    ASSERT_EQ(sqlite3_exec(raw, "UPDATE vals SET data = x'05000000'; COMMIT", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
    EXPECT_TRUE(store->SetValue("T\\K", "v", Dw(1)));
    // The same bytes under another type are another value.
    EXPECT_TRUE(store->SetValue("T\\K", "w", Dw(2)));
    EXPECT_EQ(store->FindValue("T\\K", "w", &got), host::Lookup::Found);
    EXPECT_TRUE(store->SetValue("T\\K", "w", host::RegValue{REG_BINARY, {2, 0, 0, 0}}));

    auto reopened = OpenFile(path);
    ASSERT_EQ(reopened->FindValue("T\\K", "v", &got), host::Lookup::Found);
    EXPECT_EQ(got.data, Dw(1).data);
    ASSERT_EQ(reopened->FindValue("T\\K", "w", &got), host::Lookup::Found);
    EXPECT_EQ(got.type, (DWORD)REG_BINARY);
}

// Lookups hold no transaction between calls, so another process can always checkpoint and
// truncate the write-ahead log.
TEST(SqliteRegistry, LookupsLeaveNoTransactionOpenBetweenCalls)
{
    TempDir dir;
    std::string path = dir.File("registry.db");
    auto store = OpenFile(path);
    ASSERT_TRUE(store->CreateKey("T\\K"));
    ASSERT_TRUE(store->SetValue("T\\K", "v", Dw(1)));
    host::RegValue got;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(store->KeyExists("T\\K"));
        ASSERT_EQ(store->FindValue("T\\K", "v", &got), host::Lookup::Found);
    }
    sqlite3 *raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    // A first read opens the log; without a busy timeout, a reader holding a transaction
    // would then make the checkpoint SQLITE_BUSY.
    ASSERT_EQ(sqlite3_exec(raw, "SELECT count(*) FROM keys", nullptr, nullptr, nullptr), SQLITE_OK);
    int frames = -1;
    EXPECT_EQ(sqlite3_wal_checkpoint_v2(raw, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &frames, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(raw);
    sqlite3_close(raw);
    EXPECT_EQ(frames, 0); // the log was emptied
    EXPECT_EQ(store->FindValue("T\\K", "v", &got), host::Lookup::Found);
    EXPECT_EQ(got.data, Dw(1).data);
}

// ---- Under the library ---------------------------------------------------------------------

class SqliteUnderLibrary : public MachineTest {};

TEST_F(SqliteUnderLibrary, TheCacheAndPreviousStateOutliveTheProcessThatWroteThem)
{
    TempDir dir;
    std::string path = dir.File("machine.db");
    host::UseRegistry(OpenFile(path));
    ASSERT_TRUE(Attach());
    ASSERT_EQ(LMGetNumSensors(), 3);
    int status = -1;
    ASSERT_EQ(LMReadTempStatus(0, &status), 1);
    EXPECT_EQ(status, KOVALTHERM_STATUS_NORMAL);
    Detach();
    host::UseRegistry(host::MakeMemoryRegistry());

    auto reopened = OpenFile(path);
    host::RegValue got;
    ASSERT_TRUE(reopened->GetValue(kThermalPath, "Number of sensors", &got));
    EXPECT_EQ(got.data, (std::vector<BYTE>{3, 0, 0, 0}));
    ASSERT_TRUE(reopened->GetValue(SensorPath(0), "Previous State", &got));
    EXPECT_EQ(got.data, (std::vector<BYTE>{1, 0, 0, 0}));
}

} // namespace
