// The library's diagnostic lines in a Windows loader: with KOVALTHERM_TRACE=stderr (set by
// the test's environment) each failing call writes its line to the process's standard error;
// with the variable unset nothing is written.
#include "wine_support.h"

using namespace wine;

namespace {

const char kVariable[] = "KOVALTHERM_TRACE";

// The default notebook with sensors 0, 1 and 3.
SimConfig Notebook()
{
    SimConfig config;
    SimDefaultConfig(&config);
    config.presence = 0x0B;
    return config;
}

// Points the process's standard error at a file while it lives, and gives what was written.
class StderrCapture {
public:
    StderrCapture()
    {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        GetTempFileNameA(dir, "ktr", 0, path_);
        file_ = CreateFileA(path_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, NULL);
        saved_ = GetStdHandle(STD_ERROR_HANDLE);
        SetStdHandle(STD_ERROR_HANDLE, file_);
    }
    ~StderrCapture()
    {
        SetStdHandle(STD_ERROR_HANDLE, saved_);
        CloseHandle(file_);
        DeleteFileA(path_);
    }
    std::string Text()
    {
        std::string text;
        SetFilePointer(file_, 0, NULL, FILE_BEGIN);
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(file_, buffer, sizeof buffer, &got, NULL) && got)
            text.append(buffer, got);
        SetFilePointer(file_, 0, NULL, FILE_END);
        return text;
    }

private:
    char path_[MAX_PATH];
    HANDLE file_;
    HANDLE saved_;
};

struct Step {
    const char *name;
    void (*breakMachine)(SimConfig &config); // edits the notebook before the call, or null
    const char *valueToDelete;                // a cache value removed before the call, or null
    int sensorKey;                            // the key holding it; -1 for the Thermal key
    int (*call)(Library &lib);
    const char *line;                         // "" when the call writes nothing
};

int CountSensors(Library &lib) { return lib.getNumSensors(); }
int Temperature2(Library &lib) { int v; return lib.readTemperature(2, &v); }
int Temperature3(Library &lib) { int v; return lib.readTemperature(3, &v); }
int Status0(Library &lib) { int v; return lib.readTempStatus(0, &v); }
int Warning0(Library &lib) { int v; return lib.readWarningLimit(0, &v); }
int Warning1(Library &lib) { int v; return lib.readWarningLimit(1, &v); }
int Location1(Library &lib) { int v; return lib.getSensorLocation(1, &v); }

void Stuck(SimConfig &c) { c.busyAfterPattern = 1; }
void NoLimitsForSensor0(SimConfig &c) { c.limits[0].status = 0x86; }

// Steps run in order on one loaded library, starting without a cache.
const Step kSteps[] = {
    {"first call builds the cache", nullptr, nullptr, 0, CountSensors,
     "kovaltherm: LMGetNumSensors(#1): cache absent; rebuild ran to the end\n"},
    {"complete cache", nullptr, nullptr, 0, Location1, ""},
    {"count missing", nullptr, "Number of sensors", -1, Warning1,
     "kovaltherm: LMReadWarningLimit(#6) sensor 1: sensor count unreadable: \"Number of "
     "sensors\" missing in \"Thermal\"; rebuild ran to the end\n"},
    {"ordinal out of range", nullptr, nullptr, 0, Temperature3,
     "kovaltherm: LMReadTemperature(#5) sensor 3: ordinal not among the 3 present sensors\n"},
    {"firmware gives no limits", NoLimitsForSensor0, "Warning High", 0, Warning0,
     "kovaltherm: LMReadWarningLimit(#6) sensor 0: limit unreadable: \"Warning High\" missing "
     "in \"Sensor 0\"; rebuild ran to the end, firmware gave no limits for Sensor 0 (result "
     "2)\n"},
    {"stuck controller", Stuck, nullptr, 0, Temperature2,
     "kovaltherm: LMReadTemperature(#5) sensor 2: no temperature: 2 block reads failed, 40 "
     "attempts: 40 busy, 0 wrong echo, 0 unreadable; rebuild ran to the end\n"},
    {"stuck controller, status", Stuck, nullptr, 0, Status0,
     "kovaltherm: LMReadTempStatus(#4) sensor 0: no temperature: 2 block reads failed, 40 "
     "attempts: 40 busy, 0 wrong echo, 0 unreadable; rebuild ran to the end\n"},
};

// Runs every step; returns what each call wrote to standard error.
std::vector<std::string> RunSteps()
{
    std::vector<std::string> written;
    DeleteCache();
    EXPECT_TRUE(LoadScenario(Notebook()));
    StderrCapture capture;
    Library lib;
    EXPECT_TRUE(lib.Load());
    if (!lib.module)
        return written;
    size_t seen = 0;
    for (const Step &step : kSteps) {
        SimConfig config = Notebook();
        if (step.breakMachine)
            step.breakMachine(config);
        LoadScenario(config);
        if (step.valueToDelete)
            DeleteValue(step.sensorKey < 0 ? kThermalPath : SensorPath(step.sensorKey),
                        step.valueToDelete);
        step.call(lib);
        std::string text = capture.Text();
        written.push_back(text.substr(seen));
        seen = text.size();
    }
    lib.Unload();
    return written;
}

TEST(Trace, EachFailureWritesItsLineToStderr)
{
    char value[16] = "";
    ASSERT_GT(GetEnvironmentVariableA(kVariable, value, sizeof value), 0u)
        << "run with " << kVariable << "=stderr";
    ASSERT_STREQ(value, "stderr");
    std::vector<std::string> written = RunSteps();
    ASSERT_EQ(written.size(), sizeof kSteps / sizeof kSteps[0]);
    for (size_t i = 0; i < written.size(); ++i)
        EXPECT_EQ(written[i], kSteps[i].line) << kSteps[i].name;
}

TEST(Trace, NothingIsWrittenWhenTheVariableIsUnset)
{
    char saved[16] = "";
    DWORD had = GetEnvironmentVariableA(kVariable, saved, sizeof saved);
    SetEnvironmentVariableA(kVariable, NULL);
    std::vector<std::string> written = RunSteps();
    if (had)
        SetEnvironmentVariableA(kVariable, saved);
    ASSERT_EQ(written.size(), sizeof kSteps / sizeof kSteps[0]);
    for (size_t i = 0; i < written.size(); ++i)
        EXPECT_EQ(written[i], "") << kSteps[i].name;
}

} // namespace
