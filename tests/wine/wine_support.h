// Helpers for the Windows test programs that run under Wine against the real DLL and the
// stand-in driver: the driver's test control codes, the registry, and the exports resolved
// both by name and by ordinal.
#ifndef KOVALTHERM_WINE_SUPPORT_H
#define KOVALTHERM_WINE_SUPPORT_H

#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "sim/notebook.h"

namespace wine {

inline const char kThermalPath[] = "SOFTWARE\\Norvane\\QuenlarFeatures\\Thermal";
// The cache lives in the 32-bit registry view, which a 64-bit program names explicitly.
inline const REGSAM kCacheView = sizeof(void *) == 8 ? KEY_WOW64_32KEY : 0;

inline std::string SensorPath(int index)
{
    return std::string(kThermalPath) + "\\Sensor " + std::to_string(index);
}

// Sends a request to the stand-in driver; false if it cannot be opened or refuses.
inline bool DriverRequest(DWORD code, void *in, DWORD inLength, void *out, DWORD outLength)
{
    HANDLE driver = CreateFileA("\\\\.\\qorix", GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (driver == INVALID_HANDLE_VALUE)
        return false;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(driver, code, in, inLength, out, outLength, &returned, NULL);
    CloseHandle(driver);
    return ok != FALSE;
}

// Loads a scenario into the stand-in driver (its request log starts afresh).
inline bool LoadScenario(SimConfig config)
{
    return DriverRequest(SIM_IOCTL_LOAD_SCENARIO, &config, sizeof config, NULL, 0);
}

// Reads the driver's whole request log; `*total`, if given, is set to the number of requests
// logged, kept or not.
inline std::vector<SimLogEntry> RequestLog(uint32_t *total = nullptr)
{
    std::vector<SimLogEntry> entries;
    for (;;) {
        static SimLogPage page;
        uint32_t first = (uint32_t)entries.size();
        memcpy(&page, &first, sizeof first);
        if (!DriverRequest(SIM_IOCTL_READ_LOG, &page, sizeof page, &page, sizeof page) ||
            page.count == 0)
            break;
        if (total)
            *total = page.total;
        entries.insert(entries.end(), page.entries, page.entries + page.count);
    }
    return entries;
}

// Removes the sensor cache from the registry.
inline void DeleteCache()
{
    HKEY parent;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvane\\QuenlarFeatures", 0,
                      KEY_ALL_ACCESS | kCacheView, &parent) != ERROR_SUCCESS)
        return;
    RegDeleteTreeA(parent, "Thermal");
    RegCloseKey(parent);
}

// Reads a REG_DWORD; `fallback` if missing or of another type.
inline long Dword(const std::string &path, const char *name, long fallback = -12345)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | kCacheView, &key) !=
        ERROR_SUCCESS)
        return fallback;
    DWORD type = 0, data = 0, size = sizeof data;
    LONG status = RegQueryValueExA(key, name, NULL, &type, (BYTE *)&data, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && size == 4 ? (long)(int)data : fallback;
}

// Writes a REG_DWORD, creating the key.
inline void SetDword(const std::string &path, const char *name, long value)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS | kCacheView,
                        NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return;
    DWORD data = (DWORD)value;
    RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&data, sizeof data);
    RegCloseKey(key);
}

inline void DeleteValue(const std::string &path, const char *name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | kCacheView, &key) !=
        ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

typedef int(__cdecl *CountFunction)(void);
typedef int(__cdecl *QueryFunction)(int, int *);
typedef void(__cdecl *ShutdownFunction)(void);

// The library loaded with LoadLibraryA, its exports resolved by name; each is checked to be
// the same function as the one its ordinal resolves to, and nothing else is exported.
struct Library {
    HMODULE module = NULL;
    CountFunction getNumSensors = NULL;
    QueryFunction getSensorLocation = NULL;
    QueryFunction readCriticalLimit = NULL;
    QueryFunction readTempStatus = NULL;
    QueryFunction readTemperature = NULL;
    QueryFunction readWarningLimit = NULL;
    ShutdownFunction shutdown = NULL;

    // Loads the DLL; false if the loader refuses it or an export is missing. Use as
    // ASSERT_TRUE(lib.Load()): a missing export fails the test and leaves its slot empty.
    bool Load()
    {
        module = LoadLibraryA("Kovaltherm.dll");
        if (!module)
            return false;
        const struct {
            const char *name;
            int ordinal;
            FARPROC *slot;
        } exports[] = {
            {"LMGetNumSensors", 1, (FARPROC *)&getNumSensors},
            {"LMGetSensorLocation", 2, (FARPROC *)&getSensorLocation},
            {"LMReadCriticalLimit", 3, (FARPROC *)&readCriticalLimit},
            {"LMReadTempStatus", 4, (FARPROC *)&readTempStatus},
            {"LMReadTemperature", 5, (FARPROC *)&readTemperature},
            {"LMReadWarningLimit", 6, (FARPROC *)&readWarningLimit},
            {"ShutdownLibrary", 7, (FARPROC *)&shutdown},
        };
        for (const auto &e : exports) {
            FARPROC byName = GetProcAddress(module, e.name);
            FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(e.ordinal));
            EXPECT_NE(byName, nullptr) << e.name;
            EXPECT_EQ(byName, byOrdinal) << e.name << " is ordinal " << e.ordinal;
            *e.slot = byName;
        }
        EXPECT_EQ(GetProcAddress(module, "DllMain"), nullptr) << "DllMain is exported";
        EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(8)), nullptr) << "an eighth export";
        bool complete = getNumSensors && getSensorLocation && readCriticalLimit &&
                        readTempStatus && readTemperature && readWarningLimit && shutdown;
        if (!complete)
            Unload();
        return complete;
    }

    void Unload()
    {
        if (module)
            FreeLibrary(module);
        module = NULL;
    }
};

// The exports as the mixed-call tests number them: an index into this table picks the export.
enum { MIXED_EXPORT_COUNT = 7 };
inline const char *const kMixedExportNames[MIXED_EXPORT_COUNT] = {
    "LMGetNumSensors",     "LMGetSensorLocation", "LMReadTemperature", "LMReadWarningLimit",
    "LMReadCriticalLimit", "LMReadTempStatus",    "ShutdownLibrary"};

struct Answer {
    int result;
    int out;
};

inline bool Same(const Answer &a, const Answer &b) { return a.result == b.result && a.out == b.out; }

// Calls export `e` (see kMixedExportNames) of a loaded library with `ordinal`; returns its
// result and out-value, which starts as `untouched`.
inline Answer InvokeMixed(const Library &lib, int e, int ordinal, int untouched)
{
    const QueryFunction queries[] = {lib.getSensorLocation, lib.readTemperature,
                                     lib.readWarningLimit, lib.readCriticalLimit,
                                     lib.readTempStatus};
    Answer a = {0, untouched};
    if (e == 0)
        a.result = lib.getNumSensors();
    else if (e == MIXED_EXPORT_COUNT - 1)
        lib.shutdown();
    else
        a.result = queries[e - 1](ordinal, &a.out);
    return a;
}

// The ordinals the mixed-call tests ask about.
const int kMixedMinOrdinal = -1;
const int kMixedMaxOrdinal = 4;
const int kMixedOrdinals = kMixedMaxOrdinal - kMixedMinOrdinal + 1;

// A lone caller's answers, by export (see kMixedExportNames) and ordinal from kMixedMinOrdinal.
typedef Answer LoneAnswers[MIXED_EXPORT_COUNT][kMixedOrdinals];

// Records into `expected` what a lone caller answers to every export and ordinal: a warm-up
// pass repairs a cache left by other tests, then two passes must agree. Use as
// ASSERT_NO_FATAL_FAILURE(RecordLoneAnswers(...)).
inline void RecordLoneAnswers(const Library &lib, int untouched, LoneAnswers &expected)
{
    for (int pass = 0; pass < 3; ++pass)
        for (int e = 0; e < MIXED_EXPORT_COUNT; ++e)
            for (int o = kMixedMinOrdinal; o <= kMixedMaxOrdinal; ++o) {
                Answer a = InvokeMixed(lib, e, o, untouched);
                if (pass == 1)
                    expected[e][o - kMixedMinOrdinal] = a;
                if (pass == 2) {
                    ASSERT_TRUE(Same(a, expected[e][o - kMixedMinOrdinal]))
                        << "a lone caller's answers are not stable: " << kMixedExportNames[e]
                        << "(" << o << ")";
                }
            }
}

} // namespace wine

#endif
