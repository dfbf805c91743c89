// Benchmark of the real Kovaltherm.dll under a Windows loader (Wine): every export's wall
// time per call (performance counter), the floor set by the controller exchange's mandated
// waits, their ratio and the thread's CPU time per call; and how long the platform's waits
// last, by Sleep and by a high-resolution waitable timer, with the path the library takes.
// Prints tables and writes them as JSON.
//
// Build: i686-w64-mingw32-g++ -O2 -static -static-libgcc -static-libstdc++ bench_exports.cpp
// Run:   bench_exports.exe [--dll=Kovaltherm.dll] [--json=wine-results.json]
//                          [--repetitions=7] [--min-time=0.5]
#include <windows.h>

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/bench/targets.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

typedef int(__cdecl *CountFunction)(void);
typedef int(__cdecl *OrdinalFunction)(int ordinal, int *out);
typedef void(__cdecl *VoidFunction)(void);
typedef HANDLE(WINAPI *CreateTimerFunction)(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD);

// Mandated waits of one successful block read: eight answer bytes, 2 ms after each.
const double kBlockReadFloorMs = 8 * 2;
const int kWaitSamples = 50;

struct Library {
    CountFunction getNumSensors;
    OrdinalFunction getSensorLocation, readTemperature, readWarningLimit, readCriticalLimit,
        readTempStatus;
    VoidFunction shutdownLibrary;
};

enum ExportKind { COUNT, ORDINAL, VOID_CALL };

struct ExportCase {
    const char *name;
    ExportKind kind;
    double floorMs;
    size_t offset; // of the function pointer in Library
};

const ExportCase kExports[] = {
    {"LMGetNumSensors", COUNT, 0, offsetof(Library, getNumSensors)},
    {"LMGetSensorLocation", ORDINAL, 0, offsetof(Library, getSensorLocation)},
    {"LMReadTemperature", ORDINAL, kBlockReadFloorMs, offsetof(Library, readTemperature)},
    {"LMReadWarningLimit", ORDINAL, 0, offsetof(Library, readWarningLimit)},
    {"LMReadCriticalLimit", ORDINAL, 0, offsetof(Library, readCriticalLimit)},
    {"LMReadTempStatus", ORDINAL, kBlockReadFloorMs, offsetof(Library, readTempStatus)},
    {"ShutdownLibrary", VOID_CALL, 0, offsetof(Library, shutdownLibrary)},
};

LARGE_INTEGER g_frequency;

double NowMs(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)g_frequency.QuadPart;
}

// The calling thread's CPU time (kernel and user), in milliseconds.
double ThreadCpuMs(void)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    ULONGLONG k = ((ULONGLONG)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime;
    ULONGLONG u = ((ULONGLONG)user.dwHighDateTime << 32) | user.dwLowDateTime;
    return (double)(k + u) / 10000.0;
}

// Calls one export once; returns its result (1 for ShutdownLibrary).
int CallExport(const Library &library, const ExportCase &ex, int ordinal)
{
    const char *base = (const char *)&library;
    int out = 0;
    switch (ex.kind) {
    case COUNT:
        return (*(const CountFunction *)(base + ex.offset))();
    case ORDINAL:
        return (*(const OrdinalFunction *)(base + ex.offset))(ordinal, &out);
    case VOID_CALL:
        (*(const VoidFunction *)(base + ex.offset))();
        return 1;
    }
    return 0;
}

struct Row {
    const ExportCase *ex;
    std::vector<double> wallMs, cpuMs;
    long long calls;
    bool failed;
};

// Repeats an export for at least `minTimeS` per repetition, stopping at the first failure.
void MeasureExport(const Library &library, int ordinal, int repetitions, double minTimeS,
                   Row *row)
{
    row->calls = 0;
    row->failed = false;
    for (int r = 0; r < repetitions && !row->failed; ++r) {
        long long calls = 0;
        double cpu0 = ThreadCpuMs();
        double start = NowMs();
        double elapsed = 0;
        do {
            if (!CallExport(library, *row->ex, ordinal)) {
                row->failed = true;
                break;
            }
            ++calls;
            elapsed = NowMs() - start;
        } while (elapsed < minTimeS * 1000);
        double cpu = ThreadCpuMs() - cpu0;
        if (calls) {
            row->wallMs.push_back(elapsed / calls);
            row->cpuMs.push_back(cpu / calls);
            row->calls += calls;
        }
    }
}

struct WaitStats {
    bool available;
    double minMs, medianMs, maxMs;
};

// Measures `kWaitSamples` waits of 2 ms each.
template <class Wait> WaitStats MeasureWaits(Wait wait)
{
    std::vector<double> lengths;
    for (int i = 0; i < kWaitSamples; ++i) {
        double start = NowMs();
        wait();
        lengths.push_back(NowMs() - start);
    }
    WaitStats stats;
    stats.available = true;
    stats.minMs = *std::min_element(lengths.begin(), lengths.end());
    stats.medianMs = Median(lengths);
    stats.maxMs = *std::max_element(lengths.begin(), lengths.end());
    return stats;
}

void PrintWait(FILE *json, const char *name, const WaitStats &stats, bool last)
{
    if (stats.available)
        printf("%-34s %9.3f %9.3f %9.3f\n", name, stats.minMs, stats.medianMs, stats.maxMs);
    else
        printf("%-34s %9s\n", name, "not offered");
    fprintf(json, "    \"%s\": ", name);
    if (stats.available)
        fprintf(json, "{\"min_ms\": %.4f, \"median_ms\": %.4f, \"max_ms\": %.4f}", stats.minMs,
                stats.medianMs, stats.maxMs);
    else
        fprintf(json, "null");
    fprintf(json, "%s\n", last ? "" : ",");
}

} // namespace

int main(int argc, char **argv)
{
    const char *dllPath = "Kovaltherm.dll";
    const char *jsonPath = "wine-results.json";
    int repetitions = 7;
    double minTimeS = 0.5;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--dll=", 6) == 0)
            dllPath = argv[i] + 6;
        else if (strncmp(argv[i], "--json=", 7) == 0)
            jsonPath = argv[i] + 7;
        else if (strncmp(argv[i], "--repetitions=", 14) == 0)
            repetitions = atoi(argv[i] + 14) > 0 ? atoi(argv[i] + 14) : 1;
        else if (strncmp(argv[i], "--min-time=", 11) == 0)
            minTimeS = atof(argv[i] + 11);
        else {
            fprintf(stderr, "usage: %s [--dll=PATH] [--json=PATH] [--repetitions=N] "
                            "[--min-time=SECONDS]\n", argv[0]);
            return 2;
        }
    }
    QueryPerformanceFrequency(&g_frequency);

    // Which wait path the library takes: the same lookup it makes.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    CreateTimerFunction createTimer =
        (CreateTimerFunction)(void (*)(void))GetProcAddress(kernel, "CreateWaitableTimerExW");
    HANDLE timer = createTimer ? createTimer(NULL, NULL, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                             TIMER_ALL_ACCESS)
                               : NULL;
    const char *path = timer ? "high-resolution waitable timer" : "Sleep";

    printf("Platform waits of 2 ms (%d each), ms         min    median       max\n", kWaitSamples);
    WaitStats sleepStats = MeasureWaits([] { Sleep(2); });
    WaitStats timerStats = {false, 0, 0, 0};
    if (timer)
        timerStats = MeasureWaits([timer] {
            LARGE_INTEGER due;
            due.QuadPart = -2 * 10000LL;
            SetWaitableTimer(timer, &due, 0, NULL, NULL, FALSE);
            WaitForSingleObject(timer, INFINITE);
        });

    FILE *json = fopen(jsonPath, "w");
    if (!json) {
        fprintf(stderr, "cannot write %s\n", jsonPath);
        return 2;
    }
    fprintf(json, "{\n  \"platform\": \"Windows loader (Wine)\",\n");
    fprintf(json, "  \"wait_path\": \"%s\",\n  \"waits_2ms\": {\n", path);
    PrintWait(json, "Sleep(2)", sleepStats, false);
    PrintWait(json, "high-resolution timer, 2 ms", timerStats, true);
    fprintf(json, "  },\n");
    printf("The library waits with: %s\n", path);
    if (timer)
        CloseHandle(timer);

    HMODULE dll = LoadLibraryA(dllPath);
    if (!dll) {
        fprintf(stderr, "LoadLibraryA(%s) failed: error %lu\n", dllPath, GetLastError());
        fprintf(json, "  \"error\": \"LoadLibraryA failed\"\n}\n");
        fclose(json);
        return 1;
    }
    Library library;
    library.getNumSensors = (CountFunction)(void (*)(void))GetProcAddress(dll, "LMGetNumSensors");
    library.getSensorLocation =
        (OrdinalFunction)(void (*)(void))GetProcAddress(dll, "LMGetSensorLocation");
    library.readTemperature =
        (OrdinalFunction)(void (*)(void))GetProcAddress(dll, "LMReadTemperature");
    library.readWarningLimit =
        (OrdinalFunction)(void (*)(void))GetProcAddress(dll, "LMReadWarningLimit");
    library.readCriticalLimit =
        (OrdinalFunction)(void (*)(void))GetProcAddress(dll, "LMReadCriticalLimit");
    library.readTempStatus =
        (OrdinalFunction)(void (*)(void))GetProcAddress(dll, "LMReadTempStatus");
    library.shutdownLibrary = (VoidFunction)(void (*)(void))GetProcAddress(dll, "ShutdownLibrary");
    if (!library.getNumSensors || !library.getSensorLocation || !library.readTemperature ||
        !library.readWarningLimit || !library.readCriticalLimit || !library.readTempStatus ||
        !library.shutdownLibrary) {
        fprintf(stderr, "an export is missing from %s\n", dllPath);
        return 1;
    }
    // The first call builds the cache; the last sensor makes the mapping walk furthest.
    int count = library.getNumSensors();
    if (count <= 0)
        count = library.getNumSensors();
    if (count <= 0) {
        fprintf(stderr, "LMGetNumSensors returned %d: no driver or no sensors\n", count);
        fprintf(json, "  \"error\": \"no sensors\"\n}\n");
        fclose(json);
        return 1;
    }
    int ordinal = count - 1;

    printf("\nWine: every export through %s, sensor ordinal %d (median of %d repetitions)\n",
           dllPath, ordinal, repetitions);
    printf("%-20s %11s %9s %8s %11s %6s %8s  %s\n", "export", "wall ms", "floor ms", "ratio",
           "cpu ms", "cpu %", "calls", "target");
    fprintf(json, "  \"repetitions\": %d,\n  \"ordinal\": %d,\n  \"exports\": [\n", repetitions,
            ordinal);
    bool allMet = true;
    size_t n = sizeof kExports / sizeof kExports[0];
    for (size_t i = 0; i < n; ++i) {
        Row row;
        row.ex = &kExports[i];
        MeasureExport(library, ordinal, repetitions, minTimeS, &row);
        double wall = Median(row.wallMs);
        double cpu = Median(row.cpuMs);
        double ratio = row.ex->floorMs > 0 ? wall / row.ex->floorMs : 0;
        double share = wall > 0 ? cpu / wall : 0;
        bool met = !row.failed &&
                   (row.ex->floorMs > 0 ? ratio <= kMaxFloorRatio && share <= kMaxCpuShare
                                        : wall <= kMaxNoExchangeMs);
        allMet = allMet && met;
        char ratioText[32] = "-";
        if (row.ex->floorMs > 0)
            snprintf(ratioText, sizeof ratioText, "%.4f", ratio);
        printf("%-20s %11.4f %9.1f %8s %11.5f %6.2f %8lld  %s\n", row.ex->name, wall,
               row.ex->floorMs, ratioText, cpu, share * 100, row.calls,
               row.failed ? "FAILED" : met ? "met" : "MISSED");
        fprintf(json,
                "    {\"export\": \"%s\", \"wall_ms\": %.6f, \"floor_ms\": %.1f, \"ratio\": ",
                row.ex->name, wall, row.ex->floorMs);
        if (row.ex->floorMs > 0)
            fprintf(json, "%.6f", ratio);
        else
            fprintf(json, "null");
        fprintf(json, ", \"cpu_ms\": %.6f, \"cpu_share\": %.6f, \"calls\": %lld, "
                      "\"failed\": %s, \"met\": %s}%s\n",
                cpu, share, row.calls, row.failed ? "true" : "false", met ? "true" : "false",
                i + 1 < n ? "," : "");
    }
    printf("Targets: wall <= %.2f x floor and cpu <= %.0f %% of wall for exports with an "
           "exchange; wall <= %.1f ms without one: %s\n",
           kMaxFloorRatio, kMaxCpuShare * 100, kMaxNoExchangeMs, allMet ? "all met" : "MISSED");
    fprintf(json, "  ],\n  \"all_targets_met\": %s\n}\n", allMet ? "true" : "false");
    fclose(json);
    FreeLibrary(dll);
    printf("Written to %s\n", jsonPath);
    return allMet ? 0 : 1;
}
