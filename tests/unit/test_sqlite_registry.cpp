// The registry stores: the same contract in memory and in a SQLite file, and what only the file
// adds (persistence, sharing between processes, refusing files that are not registries).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <fstream>
#include <iterator>

#include "machine.h"
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
    EXPECT_NE(error.find("cannot be opened"), std::string::npos) << error;
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

TEST(SqliteRegistry, RefusesFilesThatAreNotRegistriesAndLeavesThemAsTheyWere)
{
    struct Case {
        const char *name;
        void (*make)(const std::string &path);
        const char *message;
    };
    const Case cases[] = {
        {"text", [](const std::string &p) { WriteFile(p, "[HKEY_LOCAL_MACHINE]\nnot a database\n"); },
         "is not a registry file (not a SQLite database)"},
        {"other-database", MakeOtherDatabase, "is a SQLite database but not a registry file"},
        {"newer", MakeNewerRegistry, "was written by a newer version"},
        {"damaged", MakeDamagedRegistry, "is damaged"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        std::string path = dir.File(c.name);
        c.make(path);
        std::string before = ReadFile(path);
        std::string error;
        EXPECT_FALSE(host::MakeSqliteRegistry(path, &error)) << c.name;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
        EXPECT_NE(error.find(path), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(ReadFile(path), before) << c.name;
    }
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
