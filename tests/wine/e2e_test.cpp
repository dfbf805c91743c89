// End-to-end tests of Kovaltherm.dll in a Windows loader with the stand-in driver. Each CTest
// case runs one test through --gtest_filter: the no-driver case needs the driver absent, the
// others need it running, and the 9x case runs from the copy that Wine presents as Windows 98.
#include "tests/contract/exchange.h"
#include "tests/contract/hysteresis.h"
#include "tests/contract/locations.h"
#include "wine_support.h"

using namespace wine;

namespace {

const int kUntouched = 777;
const long kMissing = -12345;

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
TEST(EndToEnd, NoDriverLoaderRefusesTheLibrary)
{
    HMODULE module = LoadLibraryA("Kovaltherm.dll");
    EXPECT_EQ(module, nullptr) << "LoadLibraryA succeeded without the driver";
    if (module)
        FreeLibrary(module);
}

// The typical request: ordinal 0 is the first present sensor, read through one exchange.
TEST(EndToEnd, TypicalRequest)
{
    DeleteCache();
    SimConfig config = Notebook(contract::kTypicalPresence);
    SimSetTemperature(&config, contract::kTypicalPhysicalSensor, contract::kTypicalTemperature);
    ASSERT_TRUE(LoadScenario(config));
    Library lib;
    ASSERT_TRUE(lib.Load());
    EXPECT_EQ(lib.getNumSensors(), 3);
    LoadScenario(config); // empties the request log
    int t = kUntouched;
    EXPECT_EQ(lib.readTemperature(0, &t), 1);
    EXPECT_EQ(t, contract::kTypicalTemperature);
    std::vector<SimLogEntry> log = RequestLog();
    const size_t steps = contract::kAnsweredExchangeSteps;
    EXPECT_EQ(log.size(), steps);
    if (log.size() != steps)
        for (const SimLogEntry &e : log)
            printf("  request %04lx %02x %02x at %lu ms\n", (unsigned long)e.code, e.input[0],
                   e.input[1], (unsigned long)e.timeMs);
    for (size_t i = 0; i < steps && i < log.size(); ++i) {
        const contract::ExchangeStep &expected = contract::kAnsweredExchange[i];
        SCOPED_TRACE("step " + std::to_string(i));
        EXPECT_EQ(contract::ExchangeKind(log[i].code), expected.kind);
        EXPECT_EQ(log[i].error, 0u);
        if (expected.kind != 'B') {
            EXPECT_EQ(log[i].input[0], expected.index);
        }
        if (expected.kind == 'W') {
            EXPECT_EQ(log[i].input[1], expected.value);
        }
    }
    // The answer bytes were read with the library's pause between each two.
    if (log.size() == steps) {
        uint32_t first = log[contract::kFirstAnswerRead].timeMs;
        uint32_t last = log[contract::kLastAnswerRead].timeMs;
        EXPECT_GE(last - first, (contract::kLastAnswerRead - contract::kFirstAnswerRead) *
                                    contract::kAnswerReadPauseMs);
    }
    lib.Unload();
}

// The first load on an empty registry builds the whole cache from the firmware.
TEST(EndToEnd, FirstLoadBuildsTheCache)
{
    DeleteCache();
    ASSERT_TRUE(LoadScenario(Notebook(0x0005)));
    Library lib;
    ASSERT_TRUE(lib.Load());
    EXPECT_EQ(lib.getNumSensors(), 2);
    EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 2);
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE("Sensor " + std::to_string(i));
        bool present = i == 0 || i == 2;
        std::string key = SensorPath(i);
        EXPECT_EQ(Dword(key, "Is present"), present ? 1 : 0);
        EXPECT_EQ(Dword(key, "Warning Normal"), present ? 80 + i : kMissing);
        EXPECT_EQ(Dword(key, "Warning High"), present ? 85 + i : kMissing);
        EXPECT_EQ(Dword(key, "Critical Normal"), present ? 90 + i : kMissing);
        EXPECT_EQ(Dword(key, "Critical High"), present ? 95 + i : kMissing);
        EXPECT_EQ(Dword(key, "Previous State"), present ? 0 : kMissing);
    }
    const struct {
        int ordinal, physical, warning, critical, temperature;
    } sensors[] = {{0, 0, 85, 95, 40}, {1, 2, 87, 97, 42}};
    for (const auto &s : sensors) {
        SCOPED_TRACE("ordinal " + std::to_string(s.ordinal));
        int v = kUntouched;
        EXPECT_EQ(lib.getSensorLocation(s.ordinal, &v), 1);
        EXPECT_EQ(v, contract::kLocationByPhysicalIndex[s.physical]);
        EXPECT_EQ(lib.readWarningLimit(s.ordinal, &v), 1);
        EXPECT_EQ(v, s.warning);
        EXPECT_EQ(lib.readCriticalLimit(s.ordinal, &v), 1);
        EXPECT_EQ(v, s.critical);
        EXPECT_EQ(lib.readTemperature(s.ordinal, &v), 1);
        EXPECT_EQ(v, s.temperature);
        EXPECT_EQ(lib.readTempStatus(s.ordinal, &v), 1);
        EXPECT_EQ(v, 1);
    }
    int v = kUntouched;
    EXPECT_EQ(lib.getSensorLocation(2, &v), 0);
    EXPECT_EQ(v, kUntouched);
    lib.shutdown();
    EXPECT_EQ(lib.getNumSensors(), 2);
    lib.Unload();
}

// A machine without thermal support: the library loads, and every export answers 0.
TEST(EndToEnd, UnsupportedMachineAnswersZero)
{
    DeleteCache();
    SimConfig config = Notebook(0x0005);
    config.probeSucceeds = 0;
    ASSERT_TRUE(LoadScenario(config));
    Library lib;
    ASSERT_TRUE(lib.Load());
    EXPECT_EQ(lib.getNumSensors(), 0);
    const struct {
        const char *name;
        QueryFunction call;
    } queries[] = {{"LMGetSensorLocation", lib.getSensorLocation},
                   {"LMReadTemperature", lib.readTemperature},
                   {"LMReadWarningLimit", lib.readWarningLimit},
                   {"LMReadCriticalLimit", lib.readCriticalLimit},
                   {"LMReadTempStatus", lib.readTempStatus}};
    for (const auto &query : queries) {
        int v = kUntouched;
        EXPECT_EQ(query.call(0, &v), 0) << query.name;
        EXPECT_EQ(v, kUntouched) << query.name;
    }
    HKEY key;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kThermalPath, 0, KEY_READ | kCacheView, &key), ERROR_SUCCESS)
        << "a cache was written";
    lib.Unload();
}

// The hysteresis notebook: sensor 0 alone with the shared limits.
SimConfig HysteresisNotebook()
{
    SimConfig config = Notebook(0x01);
    const contract::HysteresisLimits &l = contract::kHysteresisLimits;
    SimSetLimits(&config, 0, l.warnNormal, l.warnHigh, l.critNormal, l.critHigh);
    return config;
}

// Index of the first step that runs in a new process: where the first process stops.
size_t FirstNewProcessStep()
{
    size_t i = 0;
    while (i < contract::kWarningCarriedOverSteps && !contract::kWarningCarriedOver[i].newProcess)
        ++i;
    return i;
}

// Runs the hysteresis steps [begin, end) on the loaded library: a step marked for a new
// process after the first reloads it.
void RunHysteresisSteps(Library &lib, size_t begin, size_t end)
{
    for (size_t i = begin; i < end; ++i) {
        const contract::HysteresisStep &step = contract::kWarningCarriedOver[i];
        SCOPED_TRACE("step " + std::to_string(i) + ", t " + std::to_string(step.temperature));
        if (step.newProcess && i != begin) {
            lib.Unload();
            ASSERT_TRUE(lib.Load());
        }
        SimConfig config = HysteresisNotebook();
        SimSetTemperature(&config, 0, step.temperature);
        ASSERT_TRUE(LoadScenario(config));
        int status = kUntouched;
        EXPECT_EQ(lib.readTempStatus(0, &status), 1);
        EXPECT_EQ(status, step.reported);
        EXPECT_EQ(Dword(SensorPath(0), "Previous State"), step.stored);
    }
}

// The second process of the hysteresis case, started by the first (disabled on its own: it
// continues from the state the first one stored).
TEST(EndToEnd, DISABLED_HysteresisSecondProcess)
{
    Library lib;
    ASSERT_TRUE(lib.Load());
    RunHysteresisSteps(lib, FirstNewProcessStep(), contract::kWarningCarriedOverSteps);
    lib.Unload();
}

// The status state is carried in the registry from one process to the next.
TEST(EndToEnd, HysteresisAcrossProcesses)
{
    DeleteCache();
    ASSERT_TRUE(LoadScenario(HysteresisNotebook()));
    size_t split = FirstNewProcessStep();
    ASSERT_LT(split, contract::kWarningCarriedOverSteps);
    Library lib;
    ASSERT_TRUE(lib.Load());
    EXPECT_EQ(lib.getNumSensors(), 1);
    RunHysteresisSteps(lib, 0, split);
    lib.Unload();
    if (HasFailure())
        return;

    char self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(NULL, self, sizeof self), 0u);
    std::string command = std::string("\"") + self +
                          "\" --gtest_also_run_disabled_tests"
                          " --gtest_filter=EndToEnd.DISABLED_HysteresisSecondProcess";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                               &process))
        << "second process did not start";
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 99;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(exitCode, 0u) << "the second process failed";
    EXPECT_EQ(Dword(SensorPath(0), "Previous State"),
              contract::kWarningCarriedOver[contract::kWarningCarriedOverSteps - 1].stored);
}

// A stale or damaged cache fails once, is rebuilt by that failure, and then answers.
TEST(EndToEnd, StaleCacheIsRebuilt)
{
    DeleteCache();
    ASSERT_TRUE(LoadScenario(Notebook(0x0B))); // sensors 0, 1, 3
    Library lib;
    ASSERT_TRUE(lib.Load());
    EXPECT_EQ(lib.getNumSensors(), 3);
    int v = kUntouched;

    DeleteValue(kThermalPath, "Number of sensors");
    EXPECT_EQ(lib.readWarningLimit(0, &v), 0);
    EXPECT_EQ(v, kUntouched);
    EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 3);
    EXPECT_EQ(lib.readWarningLimit(0, &v), 1);
    EXPECT_EQ(v, 85);

    SetDword(kThermalPath, "Number of sensors", 5); // a count the keys do not back
    EXPECT_EQ(lib.getSensorLocation(4, &v), 0);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 3);

    DeleteValue(SensorPath(3), "Critical High");
    EXPECT_EQ(lib.readCriticalLimit(2, &v), 0);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(lib.readCriticalLimit(2, &v), 1);
    EXPECT_EQ(v, 98);

    // The machine changed: sensor 1 is gone. The next failing call brings the cache up to date.
    ASSERT_TRUE(LoadScenario(Notebook(0x09)));
    SetDword(SensorPath(1), "Previous State", 3);
    DeleteValue(kThermalPath, "Number of sensors");
    EXPECT_EQ(lib.getNumSensors(), 0);
    EXPECT_EQ(lib.getNumSensors(), 2);
    EXPECT_EQ(Dword(SensorPath(1), "Is present"), 0);
    EXPECT_EQ(Dword(SensorPath(1), "Previous State"), 3);
    EXPECT_EQ(lib.getSensorLocation(1, &v), 1);
    EXPECT_EQ(v, contract::kLocationByPhysicalIndex[3]);
    lib.Unload();
}

// A controller that stays busy: no temperature, and no status.
TEST(EndToEnd, BusyControllerGivesNoTemperature)
{
    DeleteCache();
    SimConfig config = Notebook(0x01);
    ASSERT_TRUE(LoadScenario(config));
    Library lib;
    ASSERT_TRUE(lib.Load());
    EXPECT_EQ(lib.getNumSensors(), 1);
    config.busyAfterPattern = 1;
    LoadScenario(config);
    DWORD start = GetTickCount();
    int v = kUntouched;
    EXPECT_EQ(lib.readTemperature(0, &v), 0);
    EXPECT_EQ(v, -100);
    DWORD elapsed = GetTickCount() - start;
    // Two block reads of 20 busy waits of 50 ms, and 1357 ms between them.
    EXPECT_GE(elapsed, 3357u) << "the busy read did not take its waits";
    size_t releases = 0;
    for (const SimLogEntry &e : RequestLog())
        releases += e.code == SIM_IOCTL_WRITE_CONTROLLER_BYTE && e.input[0] == 0x30 &&
                    e.input[1] == 0x10;
    EXPECT_EQ(releases, 2u);
    v = kUntouched;
    EXPECT_EQ(lib.readTempStatus(0, &v), 1);
    EXPECT_EQ(v, 0);
    lib.Unload();
}

// The 9x family (this program's copy runs with Wine's Windows version set to 98): the library
// opens \\.\qorix.vxd, and with no cache probes the driver for support.
TEST(EndToEnd, Win9xProbesTheVxd)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_NE(GetVersionExA(&version), FALSE);
    ASSERT_EQ(version.dwPlatformId, (DWORD)VER_PLATFORM_WIN32_WINDOWS);
    DeleteCache();
    ASSERT_TRUE(LoadScenario(Notebook(0x01)));
    HMODULE module = LoadLibraryA("Kovaltherm.dll");
    EXPECT_NE(module, nullptr) << "LoadLibraryA did not open the 9x device";
    std::vector<SimLogEntry> log = RequestLog();
    EXPECT_EQ(log.size(), 1u);
    if (!log.empty()) {
        EXPECT_EQ(log[0].code, (uint32_t)SIM_IOCTL_PROBE_THERMAL);
        EXPECT_EQ(log[0].inputLength, 478u);
        EXPECT_EQ(log[0].outputLength, 478u);
        EXPECT_EQ(log[0].error, 0u);
    }
    if (module)
        FreeLibrary(module);
}

} // namespace
