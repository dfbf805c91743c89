// End-to-end tests of Kovaltherm.dll in a Windows loader with the stand-in driver: one case
// a run, named on the command line. Prints "N passed, M failed"; exits 0 only if all passed.
#include "wine_support.h"

using namespace wine;

namespace {

const int kUntouched = 777;

// The default notebook with one sensor layout and limits of our choosing.
SimConfig Notebook(uint32_t presence)
{
    SimConfig config;
    SimDefaultConfig(&config);
    config.presence = presence;
    for (int i = 0; i < 8; ++i)
        SimSetLimits(&config, i, 80 + i, 85 + i, 90 + i, 95 + i);
    for (int i = 0; i < 7; ++i)
        SimSetTemperature(&config, i, 40 + i);
    return config;
}

// The driver refuses to open: the loader must refuse the library.
void NoDriver()
{
    HMODULE module = LoadLibraryA("Kovaltherm.dll");
    Check(module == NULL, "LoadLibraryA fails without the driver");
    if (module)
        FreeLibrary(module);
}

// The typical request: ordinal 0 is physical sensor 1, whose temperature is answer byte 2.
void Typical()
{
    DeleteCache();
    SimConfig config = Notebook(0x0E);
    SimSetTemperature(&config, 1, 63);
    Check(LoadScenario(config), "scenario loaded");
    Library lib;
    if (!lib.Load())
        return Check(false, "library loads");
    CHECK_EQ(lib.getNumSensors(), 3);
    LoadScenario(config); // empties the request log
    int t = kUntouched;
    CHECK_EQ(lib.readTemperature(0, &t), 1);
    CHECK_EQ(t, 63);
    // The exchange: command 0x15 and four zeros, busy, eight answer bytes, busy, release.
    std::vector<SimLogEntry> log = RequestLog();
    const struct {
        DWORD code;
        int index, value;
    } expected[] = {
        {0x9DD0, 0x30, 0x15}, {0x9DD0, 0x31, 0}, {0x9DD0, 0x32, 0}, {0x9DD0, 0x33, 0},
        {0x9DD0, 0x34, 0},    {0x9E40, 0, -1},   {0x9DC0, 0, -1},   {0x9DC0, 1, -1},
        {0x9DC0, 2, -1},      {0x9DC0, 3, -1},   {0x9DC0, 4, -1},   {0x9DC0, 5, -1},
        {0x9DC0, 6, -1},      {0x9DC0, 7, -1},   {0x9E40, 0, -1},   {0x9DD0, 0x30, 0x10},
        {0x9DD0, 0x31, 0},    {0x9DD0, 0x32, 0}, {0x9DD0, 0x33, 0}, {0x9DD0, 0x34, 0},
    };
    const size_t steps = sizeof expected / sizeof expected[0];
    CHECK_EQ(log.size(), steps);
    if (log.size() != steps)
        for (const SimLogEntry &e : log)
            printf("  request %04lx %02x %02x at %lu ms\n", (unsigned long)e.code, e.input[0],
                   e.input[1], (unsigned long)e.timeMs);
    for (size_t i = 0; i < steps && i < log.size(); ++i) {
        CHECK_EQ(log[i].code, expected[i].code);
        CHECK_EQ(log[i].error, 0);
        if (expected[i].code != 0x9E40)
            CHECK_EQ(log[i].input[0], expected[i].index);
        if (expected[i].value >= 0)
            CHECK_EQ(log[i].input[1], expected[i].value);
    }
    // The answer bytes were read at least 2 ms apart.
    if (log.size() == steps)
        Check(log[13].timeMs - log[6].timeMs >= 14, "answer reads paced",
              (long)(log[13].timeMs - log[6].timeMs), 14);
    lib.Unload();
}

// The first load on an empty registry builds the whole cache from the firmware.
void FirstLoad()
{
    DeleteCache();
    Check(LoadScenario(Notebook(0x0005)), "scenario loaded");
    Library lib;
    if (!lib.Load())
        return Check(false, "library loads");
    CHECK_EQ(lib.getNumSensors(), 2);
    CHECK_EQ(Dword(kThermalPath, "Number of sensors"), 2);
    for (int i = 0; i < 8; ++i) {
        bool present = i == 0 || i == 2;
        std::string key = SensorPath(i);
        CHECK_EQ(Dword(key, "Is present"), present ? 1 : 0);
        CHECK_EQ(Dword(key, "Warning Normal"), present ? 80 + i : -12345);
        CHECK_EQ(Dword(key, "Warning High"), present ? 85 + i : -12345);
        CHECK_EQ(Dword(key, "Critical Normal"), present ? 90 + i : -12345);
        CHECK_EQ(Dword(key, "Critical High"), present ? 95 + i : -12345);
        CHECK_EQ(Dword(key, "Previous State"), present ? 0 : -12345);
    }
    const struct {
        int ordinal, location, warning, critical, temperature;
    } sensors[] = {{0, 2, 85, 95, 40}, {1, 5, 87, 97, 42}};
    for (const auto &s : sensors) {
        int v = kUntouched;
        CHECK_EQ(lib.getSensorLocation(s.ordinal, &v), 1);
        CHECK_EQ(v, s.location);
        CHECK_EQ(lib.readWarningLimit(s.ordinal, &v), 1);
        CHECK_EQ(v, s.warning);
        CHECK_EQ(lib.readCriticalLimit(s.ordinal, &v), 1);
        CHECK_EQ(v, s.critical);
        CHECK_EQ(lib.readTemperature(s.ordinal, &v), 1);
        CHECK_EQ(v, s.temperature);
        CHECK_EQ(lib.readTempStatus(s.ordinal, &v), 1);
        CHECK_EQ(v, 1);
    }
    int v = kUntouched;
    CHECK_EQ(lib.getSensorLocation(2, &v), 0);
    CHECK_EQ(v, kUntouched);
    lib.shutdown();
    CHECK_EQ(lib.getNumSensors(), 2);
    lib.Unload();
}

// A machine without thermal support: the library loads, and every export answers 0.
void Unsupported()
{
    DeleteCache();
    SimConfig config = Notebook(0x0005);
    config.probeSucceeds = 0;
    Check(LoadScenario(config), "scenario loaded");
    Library lib;
    if (!lib.Load())
        return Check(false, "library loads");
    CHECK_EQ(lib.getNumSensors(), 0);
    QueryFunction queries[] = {lib.getSensorLocation, lib.readTemperature, lib.readWarningLimit,
                               lib.readCriticalLimit, lib.readTempStatus};
    for (QueryFunction query : queries) {
        int v = kUntouched;
        CHECK_EQ(query(0, &v), 0);
        CHECK_EQ(v, kUntouched);
    }
    HKEY key;
    Check(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kThermalPath, 0, KEY_READ | kCacheView, &key) !=
              ERROR_SUCCESS,
          "no cache was written");
    lib.Unload();
}

// Sets sensor 0's temperature and returns the reported status (-1 if the call failed).
int StatusAt(Library &lib, SimConfig config, int t)
{
    SimSetTemperature(&config, 0, t);
    LoadScenario(config);
    int status = kUntouched;
    return lib.readTempStatus(0, &status) == 1 ? status : -1;
}

SimConfig HysteresisNotebook()
{
    SimConfig config = Notebook(0x01);
    SimSetLimits(&config, 0, 85, 90, 93, 95); // bounds 88 and 94
    return config;
}

// The second process of the hysteresis case: the warning state was stored by the first.
void HysteresisChild()
{
    Library lib;
    if (!lib.Load())
        return Check(false, "library loads");
    CHECK_EQ(StatusAt(lib, HysteresisNotebook(), 86), 2); // held above warnNormal
    CHECK_EQ(StatusAt(lib, HysteresisNotebook(), 80), 2); // left, reported one call late
    CHECK_EQ(StatusAt(lib, HysteresisNotebook(), 80), 1);
    lib.Unload();
}

// The status state is carried in the registry from one process to the next.
void Hysteresis(const char *self)
{
    DeleteCache();
    Check(LoadScenario(HysteresisNotebook()), "scenario loaded");
    Library lib;
    if (!lib.Load())
        return Check(false, "library loads");
    CHECK_EQ(lib.getNumSensors(), 1);
    CHECK_EQ(StatusAt(lib, HysteresisNotebook(), 50), 1);
    CHECK_EQ(StatusAt(lib, HysteresisNotebook(), 90), 2);
    lib.Unload();
    CHECK_EQ(Dword(SensorPath(0), "Previous State"), 2);

    std::string command = std::string("\"") + self + "\" hysteresis-child";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return Check(false, "second process starts");
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 99;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CHECK_EQ(exitCode, 0);
    CHECK_EQ(Dword(SensorPath(0), "Previous State"), 1);
}

// A stale or damaged cache fails once, is rebuilt by that failure, and then answers.
void StaleCache()
{
    DeleteCache();
    Check(LoadScenario(Notebook(0x0B)), "scenario loaded"); // sensors 0, 1, 3
    Library lib;
    if (!lib.Load())
        return Check(false, "library loads");
    CHECK_EQ(lib.getNumSensors(), 3);
    int v = kUntouched;

    DeleteValue(kThermalPath, "Number of sensors");
    CHECK_EQ(lib.readWarningLimit(0, &v), 0);
    CHECK_EQ(v, kUntouched);
    CHECK_EQ(Dword(kThermalPath, "Number of sensors"), 3);
    CHECK_EQ(lib.readWarningLimit(0, &v), 1);
    CHECK_EQ(v, 85);

    SetDword(kThermalPath, "Number of sensors", 5); // a count the keys do not back
    CHECK_EQ(lib.getSensorLocation(4, &v), 0);
    CHECK_EQ(v, -1);
    CHECK_EQ(Dword(kThermalPath, "Number of sensors"), 3);

    DeleteValue(SensorPath(3), "Critical High");
    CHECK_EQ(lib.readCriticalLimit(2, &v), 0);
    CHECK_EQ(v, -1);
    CHECK_EQ(lib.readCriticalLimit(2, &v), 1);
    CHECK_EQ(v, 98);

    // The machine changed: sensor 1 is gone. The next failing call brings the cache up to date.
    Check(LoadScenario(Notebook(0x09)), "scenario changed");
    SetDword(SensorPath(1), "Previous State", 3);
    DeleteValue(kThermalPath, "Number of sensors");
    CHECK_EQ(lib.getNumSensors(), 0);
    CHECK_EQ(lib.getNumSensors(), 2);
    CHECK_EQ(Dword(SensorPath(1), "Is present"), 0);
    CHECK_EQ(Dword(SensorPath(1), "Previous State"), 3);
    CHECK_EQ(lib.getSensorLocation(1, &v), 1);
    CHECK_EQ(v, 1); // physical sensor 3
    lib.Unload();
}

// A controller that stays busy: no temperature, and no status.
void BusyController()
{
    DeleteCache();
    SimConfig config = Notebook(0x01);
    Check(LoadScenario(config), "scenario loaded");
    Library lib;
    if (!lib.Load())
        return Check(false, "library loads");
    CHECK_EQ(lib.getNumSensors(), 1);
    config.busyAfterPattern = 1;
    LoadScenario(config);
    DWORD start = GetTickCount();
    int v = kUntouched;
    CHECK_EQ(lib.readTemperature(0, &v), 0);
    CHECK_EQ(v, -100);
    DWORD elapsed = GetTickCount() - start;
    // Two block reads of 20 busy waits of 50 ms, and 1357 ms between them.
    Check(elapsed >= 3357, "busy read takes its waits", (long)elapsed, 3357);
    size_t releases = 0;
    for (const SimLogEntry &e : RequestLog())
        releases += e.code == 0x9DD0 && e.input[0] == 0x30 && e.input[1] == 0x10;
    CHECK_EQ(releases, 2);
    v = kUntouched;
    CHECK_EQ(lib.readTempStatus(0, &v), 1);
    CHECK_EQ(v, 0);
    lib.Unload();
}

// The 9x family (this program's copy runs with Wine's Windows version set to 98): the library
// opens \\.\qorix.vxd, and with no cache probes the driver for support.
void Win9x()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    Check(GetVersionExA(&version) != FALSE, "version query");
    CHECK_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_WINDOWS);
    DeleteCache();
    Check(LoadScenario(Notebook(0x01)), "scenario loaded");
    HMODULE module = LoadLibraryA("Kovaltherm.dll");
    Check(module != NULL, "LoadLibraryA opens the 9x device");
    std::vector<SimLogEntry> log = RequestLog();
    CHECK_EQ(log.size(), 1);
    if (!log.empty()) {
        CHECK_EQ(log[0].code, 0x80012000);
        CHECK_EQ(log[0].inputLength, 478);
        CHECK_EQ(log[0].outputLength, 478);
        CHECK_EQ(log[0].error, 0);
    }
    if (module)
        FreeLibrary(module);
}

} // namespace

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "";
    const struct {
        const char *name;
        void (*run)();
    } cases[] = {
        {"no-driver", NoDriver},       {"typical", Typical},
        {"first-load", FirstLoad},     {"unsupported", Unsupported},
        {"stale-cache", StaleCache},   {"busy-controller", BusyController},
        {"hysteresis-child", HysteresisChild}, {"win9x", Win9x},
    };
    if (strcmp(name, "hysteresis") == 0) {
        Hysteresis(argv[0]);
        return Finish();
    }
    for (const auto &c : cases) {
        if (strcmp(name, c.name) == 0) {
            c.run();
            return Finish();
        }
    }
    printf("usage: e2e_test CASE\n");
    return 2;
}
