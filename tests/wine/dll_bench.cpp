// Benchmark of the real Kovaltherm.dll under a Windows loader (Wine), each export next to a
// bare client in the same run. The DLL's imports of the registry, DeviceIoControl and the
// waits are wrapped (its import address table is patched after loading), one call of each
// export is recorded, and the bare client replays exactly those registry calls, driver
// requests and waits directly, with no library around them (a wait for one of the library's
// machine-wide mutexes on a mutex of its own, counted apart). Per export it reports wall time
// per call (performance counter), the bare client's, their ratio, the floor set by the
// controller exchange's mandated waits, the thread's CPU time, and the calls made; then what
// the platform charges per driver request, per registry call and per 2 ms wait. Next to both
// runs a minimal client, which makes only the calls a reading needs: the count, the sensor
// keys up to the mapped one, that key opened once for its values, and the recorded driver
// requests and waits. Prints tables and writes them as JSON. Exits 0 when it
// measured, whether or not targets held.
//
// Build: i686-w64-mingw32-g++ -O2 -static -static-libgcc -static-libstdc++ dll_bench.cpp -o bench_exports.exe
// Run:   bench_exports.exe [--dll=Kovaltherm.dll] [--json=wine-results.json] [--label=x86]
//                          [--repetitions=7] [--min-time=0.25]
#include <windows.h>

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "src/base/cache_layout.h"
#include "tests/support/bench_targets.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

typedef int(__cdecl *CountFunction)(void);
typedef int(__cdecl *OrdinalFunction)(int ordinal, int *out);
typedef void(__cdecl *VoidFunction)(void);
typedef HANDLE(WINAPI *CreateTimerFunction)(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD);
typedef BOOL(WINAPI *SetTimerFunction)(HANDLE, const LARGE_INTEGER *, LONG, PTIMERAPCROUTINE,
                                       LPVOID, BOOL);

// Mandated waits of one successful block read: eight answer bytes, 2 ms after each.
const double kBlockReadFloorMs = 8 * 2;
const LONGLONG kTimerUnitsPerMs = 10000;
const char kDevicePath[] = "\\\\.\\qorix";
// Bytes of a request's buffers kept for the replay; the driver's requests are smaller.
const DWORD kMaxBuffer = 256;

struct Library {
    CountFunction getNumSensors;
    OrdinalFunction getSensorLocation, readTemperature, readWarningLimit, readCriticalLimit,
        readTempStatus;
    VoidFunction shutdownLibrary;
};

enum ExportKind { COUNT, ORDINAL, VOID_CALL };

// What a reading needs of the cache, for the minimal client.
enum CacheNeed { NOTHING, COUNT_ONLY, MAPPING, MAPPED_VALUES };

struct ExportCase {
    const char *name;
    ExportKind kind;
    double floorMs;
    size_t offset; // of the function pointer in Library
    CacheNeed need;
    const char *values[4]; // read from the mapped sensor's key; "Previous State" is written back
};

const ExportCase kExports[] = {
    {"LMGetNumSensors", COUNT, 0, offsetof(Library, getNumSensors), COUNT_ONLY, {}},
    {"LMGetSensorLocation", ORDINAL, 0, offsetof(Library, getSensorLocation), MAPPING, {}},
    {"LMReadTemperature", ORDINAL, kBlockReadFloorMs, offsetof(Library, readTemperature),
     MAPPING, {}},
    {"LMReadWarningLimit", ORDINAL, 0, offsetof(Library, readWarningLimit), MAPPED_VALUES,
     {VALUE_WARNING_HIGH}},
    {"LMReadCriticalLimit", ORDINAL, 0, offsetof(Library, readCriticalLimit), MAPPED_VALUES,
     {VALUE_CRITICAL_HIGH}},
    {"LMReadTempStatus", ORDINAL, kBlockReadFloorMs, offsetof(Library, readTempStatus),
     MAPPED_VALUES,
     {VALUE_PREVIOUS_STATE, VALUE_WARNING_HIGH, VALUE_WARNING_NORMAL, VALUE_CRITICAL_HIGH}},
    {"ShutdownLibrary", VOID_CALL, 0, offsetof(Library, shutdownLibrary), NOTHING, {}},
};

// One platform call the library made, as the bare client replays it.
// A wait on the library's timer (or Sleep) is WAIT; one on a machine-wide mutex, MUTEX_WAIT.
enum OpKind { REG_OPEN, REG_CREATE, REG_QUERY, REG_SET, REG_CLOSE, DRIVER, WAIT, MUTEX_WAIT };

struct Op {
    OpKind kind;
    int key;            // index of the op whose key this call uses; -1 for HKEY_LOCAL_MACHINE
    std::string text;   // subkey or value name
    DWORD access;       // key access, or the control code of a driver request
    DWORD type;         // value type of a set
    std::vector<BYTE> data; // set value, or a driver request's input
    DWORD outLength;    // query buffer, or a driver request's output buffer
    LONGLONG dueUnits;  // a wait's relative due time in 100 ns units (negative), or 0 for Sleep
    DWORD sleepMs;
};

// The real functions behind the patched imports.
struct RealFunctions {
    LSTATUS(WINAPI *openKey)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
    LSTATUS(WINAPI *createKey)(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                               PHKEY, LPDWORD);
    LSTATUS(WINAPI *queryValue)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LSTATUS(WINAPI *setValue)(HKEY, LPCSTR, DWORD, DWORD, const BYTE *, DWORD);
    LSTATUS(WINAPI *closeKey)(HKEY);
    BOOL(WINAPI *deviceIoControl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                                  LPOVERLAPPED);
    void(WINAPI *sleep)(DWORD);
    DWORD(WINAPI *waitForSingleObject)(HANDLE, DWORD);
    FARPROC(WINAPI *getProcAddress)(HMODULE, LPCSTR);
    SetTimerFunction setTimer;
};

RealFunctions g_real;
bool g_recording;
std::vector<Op> g_ops;
std::vector<std::pair<HKEY, int>> g_keys; // open keys seen while recording, by op index
LONGLONG g_pendingDue;                    // due time of the last SetWaitableTimer
HANDLE g_timerHandle;                     // the timer it was set on

int KeyIndex(HKEY key)
{
    for (size_t i = g_keys.size(); i-- > 0;)
        if (g_keys[i].first == key)
            return g_keys[i].second;
    return -1;
}

void Record(const Op &op) { g_ops.push_back(op); }

Op NewOp(OpKind kind)
{
    Op op;
    op.kind = kind;
    op.key = -1;
    op.access = op.type = op.outLength = op.sleepMs = 0;
    op.dueUnits = 0;
    return op;
}

// Records an open or a create of `subKey` under `key`, remembering the key it gave.
void RecordKeyOp(OpKind kind, HKEY key, LPCSTR subKey, REGSAM access, LSTATUS status, PHKEY result)
{
    if (!g_recording)
        return;
    Op op = NewOp(kind);
    op.key = KeyIndex(key);
    op.text = subKey ? subKey : "";
    op.access = access;
    if (status == ERROR_SUCCESS)
        g_keys.push_back(std::make_pair(*result, (int)g_ops.size()));
    Record(op);
}

LSTATUS WINAPI OpenKeyHook(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    LSTATUS status = g_real.openKey(key, subKey, options, access, result);
    RecordKeyOp(REG_OPEN, key, subKey, access, status, result);
    return status;
}

LSTATUS WINAPI CreateKeyHook(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                             DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                             PHKEY result, LPDWORD disposition)
{
    LSTATUS status = g_real.createKey(key, subKey, reserved, keyClass, options, access, security,
                                      result, disposition);
    RecordKeyOp(REG_CREATE, key, subKey, access, status, result);
    return status;
}

LSTATUS WINAPI QueryValueHook(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                              LPDWORD length)
{
    DWORD asked = length ? *length : 0;
    LSTATUS status = g_real.queryValue(key, name, reserved, type, data, length);
    if (g_recording) {
        Op op = NewOp(REG_QUERY);
        op.key = KeyIndex(key);
        op.text = name ? name : "";
        op.outLength = std::min(asked, kMaxBuffer);
        Record(op);
    }
    return status;
}

LSTATUS WINAPI SetValueHook(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                            DWORD length)
{
    LSTATUS status = g_real.setValue(key, name, reserved, type, data, length);
    if (g_recording) {
        Op op = NewOp(REG_SET);
        op.key = KeyIndex(key);
        op.text = name ? name : "";
        op.type = type;
        if (data)
            op.data.assign(data, data + std::min(length, kMaxBuffer));
        Record(op);
    }
    return status;
}

LSTATUS WINAPI CloseKeyHook(HKEY key)
{
    if (g_recording) {
        Op op = NewOp(REG_CLOSE);
        op.key = KeyIndex(key);
        Record(op);
    }
    return g_real.closeKey(key);
}

BOOL WINAPI DeviceIoControlHook(HANDLE device, DWORD code, LPVOID input, DWORD inputLength,
                                LPVOID output, DWORD outputLength, LPDWORD returned,
                                LPOVERLAPPED overlapped)
{
    if (g_recording) {
        Op op = NewOp(DRIVER);
        op.access = code;
        if (input)
            op.data.assign((const BYTE *)input,
                           (const BYTE *)input + std::min(inputLength, kMaxBuffer));
        op.outLength = std::min(outputLength, kMaxBuffer);
        Record(op);
    }
    return g_real.deviceIoControl(device, code, input, inputLength, output, outputLength,
                                  returned, overlapped);
}

void WINAPI SleepHook(DWORD ms)
{
    if (g_recording) {
        Op op = NewOp(WAIT);
        op.sleepMs = ms;
        Record(op);
    }
    g_real.sleep(ms);
}

BOOL WINAPI SetTimerHook(HANDLE timer, const LARGE_INTEGER *due, LONG period,
                         PTIMERAPCROUTINE completion, LPVOID argument, BOOL resume)
{
    g_pendingDue = due ? due->QuadPart : 0;
    g_timerHandle = timer;
    return g_real.setTimer(timer, due, period, completion, argument, resume);
}

DWORD WINAPI WaitForSingleObjectHook(HANDLE handle, DWORD ms)
{
    if (g_recording) {
        Op op = NewOp(handle == g_timerHandle ? WAIT : MUTEX_WAIT);
        op.dueUnits = g_pendingDue;
        Record(op);
    }
    return g_real.waitForSingleObject(handle, ms);
}

// With `g_hideHighResolution` the library is shown a system without the high-resolution
// timer, as before Windows 10 1803; the timer-resolution calls it then makes are counted.
bool g_hideHighResolution;
typedef UINT(WINAPI *TimePeriodFunction)(UINT);
TimePeriodFunction g_beginPeriod, g_endPeriod;
int g_periodBegins, g_periodGranted, g_periodEnds;

UINT WINAPI BeginPeriodHook(UINT period)
{
    ++g_periodBegins;
    UINT result = g_beginPeriod(period);
    g_periodGranted += result == 0;
    return result;
}

UINT WINAPI EndPeriodHook(UINT period)
{
    ++g_periodEnds;
    return g_endPeriod(period);
}

// The library looks up SetWaitableTimer at run time; it gets the wrapper, which notes the due
// time of the wait that follows.
FARPROC WINAPI GetProcAddressHook(HMODULE module, LPCSTR name)
{
    FARPROC found = g_real.getProcAddress(module, name);
    if (!found || (ULONG_PTR)name <= 0xFFFF)
        return found;
    if (strcmp(name, "SetWaitableTimer") == 0) {
        g_real.setTimer = (SetTimerFunction)(void (*)(void))found;
        return (FARPROC)(void (*)(void))&SetTimerHook;
    }
    if (g_hideHighResolution && strcmp(name, "CreateWaitableTimerExW") == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    if (strcmp(name, "timeBeginPeriod") == 0) {
        g_beginPeriod = (TimePeriodFunction)(void (*)(void))found;
        return (FARPROC)(void (*)(void))&BeginPeriodHook;
    }
    if (strcmp(name, "timeEndPeriod") == 0) {
        g_endPeriod = (TimePeriodFunction)(void (*)(void))found;
        return (FARPROC)(void (*)(void))&EndPeriodHook;
    }
    return found;
}

// Points the module's import of `function` from `dll` at `hook`; returns the original, or
// NULL if the module does not import it.
void *PatchImport(HMODULE module, const char *dll, const char *function, void *hook)
{
    BYTE *base = (BYTE *)module;
    IMAGE_DOS_HEADER *dos = (IMAGE_DOS_HEADER *)base;
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!directory.VirtualAddress)
        return NULL;
    for (IMAGE_IMPORT_DESCRIPTOR *import =
             (IMAGE_IMPORT_DESCRIPTOR *)(base + directory.VirtualAddress);
         import->Name; ++import) {
        if (_stricmp((const char *)(base + import->Name), dll) != 0)
            continue;
        DWORD namesAt = import->OriginalFirstThunk ? import->OriginalFirstThunk
                                                   : import->FirstThunk;
        IMAGE_THUNK_DATA *names = (IMAGE_THUNK_DATA *)(base + namesAt);
        IMAGE_THUNK_DATA *slots = (IMAGE_THUNK_DATA *)(base + import->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME *byName =
                (IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
            if (strcmp((const char *)byName->Name, function) != 0)
                continue;
            DWORD old;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                                &old))
                return NULL;
            void *original = (void *)(ULONG_PTR)slots->u1.Function;
            slots->u1.Function = (ULONG_PTR)hook;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            return original;
        }
    }
    return NULL;
}

// Wraps the DLL's platform imports; returns false if one it needs is missing.
bool WrapImports(HMODULE dll)
{
#define WRAP(module, name, hook, field)                                                        \
    (*(void **)&g_real.field = PatchImport(dll, module, name, (void *)&hook)) != NULL
    bool ok = WRAP("ADVAPI32.dll", "RegOpenKeyExA", OpenKeyHook, openKey);
    ok = WRAP("ADVAPI32.dll", "RegCreateKeyExA", CreateKeyHook, createKey) && ok;
    ok = WRAP("ADVAPI32.dll", "RegQueryValueExA", QueryValueHook, queryValue) && ok;
    ok = WRAP("ADVAPI32.dll", "RegSetValueExA", SetValueHook, setValue) && ok;
    ok = WRAP("ADVAPI32.dll", "RegCloseKey", CloseKeyHook, closeKey) && ok;
    ok = WRAP("KERNEL32.dll", "DeviceIoControl", DeviceIoControlHook, deviceIoControl) && ok;
    ok = WRAP("KERNEL32.dll", "Sleep", SleepHook, sleep) && ok;
    ok = WRAP("KERNEL32.dll", "WaitForSingleObject", WaitForSingleObjectHook,
              waitForSingleObject) && ok;
    ok = WRAP("KERNEL32.dll", "GetProcAddress", GetProcAddressHook, getProcAddress) && ok;
#undef WRAP
    return ok;
}

// The bare client's own device handle, wait timer and mutex.
struct BareClient {
    HANDLE device;
    HANDLE timer;
    SetTimerFunction setTimer;
    HANDLE mutex;
};

// Which ops a replay makes.
enum ReplayPart { REPLAY_ALL, REPLAY_DRIVER, REPLAY_REGISTRY, REPLAY_WAITS };

bool InPart(OpKind kind, ReplayPart part)
{
    switch (part) {
    case REPLAY_ALL:
        return true;
    case REPLAY_DRIVER:
        return kind == DRIVER;
    case REPLAY_WAITS:
        return kind == WAIT;
    case REPLAY_REGISTRY:
        return kind != DRIVER && kind != WAIT && kind != MUTEX_WAIT;
    }
    return false;
}

// Makes the recorded calls directly, in order; keys opened are closed as recorded.
void Replay(const BareClient &bare, const std::vector<Op> &ops, ReplayPart part,
            std::vector<HKEY> &keys)
{
    keys.assign(ops.size(), (HKEY)NULL);
    BYTE buffer[kMaxBuffer];
    BYTE output[kMaxBuffer];
    for (size_t i = 0; i < ops.size(); ++i) {
        const Op &op = ops[i];
        if (!InPart(op.kind, part))
            continue;
        HKEY key = op.key < 0 ? HKEY_LOCAL_MACHINE : keys[op.key];
        switch (op.kind) {
        case REG_OPEN:
            if (RegOpenKeyExA(key, op.text.c_str(), 0, op.access, &keys[i]) != ERROR_SUCCESS)
                keys[i] = NULL;
            break;
        case REG_CREATE: {
            DWORD disposition;
            if (RegCreateKeyExA(key, op.text.c_str(), 0, NULL, 0, op.access, NULL, &keys[i],
                                &disposition) != ERROR_SUCCESS)
                keys[i] = NULL;
            break;
        }
        case REG_QUERY: {
            DWORD type = 0, length = op.outLength;
            memset(buffer, 0, sizeof buffer);
            RegQueryValueExA(key, op.text.c_str(), NULL, &type, buffer, &length);
            break;
        }
        case REG_SET:
            RegSetValueExA(key, op.text.c_str(), 0, op.type,
                           op.data.empty() ? NULL : &op.data[0], (DWORD)op.data.size());
            break;
        case REG_CLOSE:
            if (key)
                RegCloseKey(key);
            break;
        case DRIVER: {
            DWORD returned = 0;
            memcpy(buffer, op.data.empty() ? buffer : &op.data[0], op.data.size());
            DeviceIoControl(bare.device, op.access, buffer, (DWORD)op.data.size(), output,
                            op.outLength, &returned, NULL);
            break;
        }
        case WAIT:
            if (op.dueUnits && bare.timer) {
                LARGE_INTEGER due;
                due.QuadPart = op.dueUnits;
                bare.setTimer(bare.timer, &due, 0, NULL, NULL, FALSE);
                WaitForSingleObject(bare.timer, INFINITE);
            } else {
                Sleep(op.sleepMs ? op.sleepMs : (DWORD)(-op.dueUnits / kTimerUnitsPerMs));
            }
            break;
        case MUTEX_WAIT:
            WaitForSingleObject(bare.mutex, INFINITE);
            ReleaseMutex(bare.mutex);
            break;
        }
    }
}

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

// Wall and CPU time per call of one block of calls.
struct Sample {
    double wallMs, cpuMs;
};

// Repeats `call` for at least `minTimeS`; returns false at the first failure.
template <class Call> bool MeasureBlock(Call call, double minTimeS, Sample *sample, long long *calls)
{
    long long n = 0;
    double cpu0 = ThreadCpuMs();
    double start = NowMs();
    double elapsed = 0;
    do {
        if (!call())
            return false;
        ++n;
        elapsed = NowMs() - start;
    } while (elapsed < minTimeS * 1000);
    sample->wallMs = elapsed / n;
    sample->cpuMs = (ThreadCpuMs() - cpu0) / n;
    *calls += n;
    return true;
}

struct Counts {
    int registry, driver, waits, mutexWaits;
};

Counts CountOps(const std::vector<Op> &ops)
{
    Counts c = {0, 0, 0, 0};
    for (const Op &op : ops) {
        if (op.kind == DRIVER)
            ++c.driver;
        else if (op.kind == WAIT)
            ++c.waits;
        else if (op.kind == MUTEX_WAIT)
            ++c.mutexWaits;
        else
            ++c.registry;
    }
    return c;
}

struct Row {
    const ExportCase *ex;
    std::vector<double> wallMs, cpuMs, bareWallMs, bareCpuMs, minimalWallMs;
    long long calls, bareCalls;
    Counts counts, minimalCounts;
    bool failed;
};

// Appends a registry op of the minimal client; returns its index, which later ops name as
// their key.
int AddRegistryOp(std::vector<Op> &ops, OpKind kind, int key, const std::string &text,
                  DWORD access)
{
    Op op = NewOp(kind);
    op.key = key;
    op.text = text;
    op.access = access;
    op.outLength = kind == REG_QUERY ? sizeof(DWORD) : 0;
    ops.push_back(op);
    return (int)ops.size() - 1;
}

// The minimal client's calls for one reading of `ex`, from the library's recorded ones: the
// same driver requests, waits and mutex waits, the same sensor mapped and the same state
// written, and only the registry calls the reading needs.
std::vector<Op> MinimalOps(const ExportCase &ex, const std::vector<Op> &recorded)
{
    std::vector<Op> ops;
    if (ex.need == NOTHING)
        return ops;
    // The registry view and the mapped sensor, as the library opened them.
    DWORD view = 0;
    int mapped = -1;
    const Op *stateWrite = NULL;
    const std::string sensorKey = THERMAL_KEY_PATH "\\Sensor ";
    for (const Op &op : recorded) {
        if (op.kind == REG_OPEN && op.key < 0) {
            view = op.access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
            if (op.text.compare(0, sensorKey.size(), sensorKey) == 0)
                mapped = std::max(mapped, atoi(op.text.c_str() + sensorKey.size()));
        }
        if (op.kind == REG_SET && op.text == VALUE_PREVIOUS_STATE)
            stateWrite = &op;
    }
    int thermal = AddRegistryOp(ops, REG_OPEN, -1, THERMAL_KEY_PATH, KEY_QUERY_VALUE | view);
    AddRegistryOp(ops, REG_QUERY, thermal, VALUE_SENSOR_COUNT, 0);
    AddRegistryOp(ops, REG_CLOSE, thermal, "", 0);
    for (const Op &op : recorded)
        if (op.kind == DRIVER || op.kind == WAIT || op.kind == MUTEX_WAIT)
            ops.push_back(op);
    if (ex.need == COUNT_ONLY)
        return ops;
    for (int index = 0; index <= mapped; ++index) {
        DWORD access = KEY_QUERY_VALUE | (stateWrite && index == mapped ? KEY_SET_VALUE : 0);
        int key = AddRegistryOp(ops, REG_OPEN, -1, sensorKey + std::to_string(index),
                                access | view);
        AddRegistryOp(ops, REG_QUERY, key, VALUE_IS_PRESENT, 0);
        if (index == mapped && ex.need == MAPPED_VALUES) {
            for (const char *value : ex.values)
                if (value)
                    AddRegistryOp(ops, REG_QUERY, key, value, 0);
            if (stateWrite) {
                ops.push_back(*stateWrite);
                ops.back().key = key;
            }
        }
        AddRegistryOp(ops, REG_CLOSE, key, "", 0);
    }
    return ops;
}

// Adds one block of `calls` calls to the running wall and CPU totals; false on a failure.
template <class Call> bool TimeBlock(Call call, int calls, double *wallMs, double *cpuMs)
{
    double cpu0 = ThreadCpuMs();
    double start = NowMs();
    for (int i = 0; i < calls; ++i)
        if (!call())
            return false;
    *wallMs += NowMs() - start;
    *cpuMs += ThreadCpuMs() - cpu0;
    return true;
}

// Records one call of the export, then alternates short blocks of library calls, bare
// replays and minimal clients (one call each for a read), so that load drifting over the run
// hits them alike.
void MeasureExport(const Library &library, const BareClient &bare, int ordinal, int repetitions,
                   double minTimeS, Row *row)
{
    const double kBlockMs = 5;
    row->calls = row->bareCalls = 0;
    row->failed = false;
    g_ops.clear();
    g_keys.clear();
    g_recording = true;
    int ok = CallExport(library, *row->ex, ordinal);
    g_recording = false;
    row->counts = CountOps(g_ops);
    if (!ok) {
        row->failed = true;
        return;
    }
    std::vector<Op> ops = g_ops;
    std::vector<Op> minimalOps = MinimalOps(*row->ex, ops);
    row->minimalCounts = CountOps(minimalOps);
    std::vector<HKEY> keys;
    auto libraryCall = [&] { return CallExport(library, *row->ex, ordinal) != 0; };
    auto bareCall = [&] { Replay(bare, ops, REPLAY_ALL, keys); return true; };
    auto minimalCall = [&] { Replay(bare, minimalOps, REPLAY_ALL, keys); return true; };
    // Calls per block, from the time of a few calls.
    double probe = NowMs();
    for (int i = 0; i < 10; ++i)
        libraryCall();
    double callMs = (NowMs() - probe) / 10;
    int perBlock = callMs >= kBlockMs ? 1 : (int)(kBlockMs / std::max(callMs, 1e-4));
    for (int r = 0; r < repetitions && !row->failed; ++r) {
        double wall = 0, cpu = 0, bareWall = 0, bareCpu = 0, minimalWall = 0, minimalCpu = 0;
        long long calls = 0;
        while (wall < minTimeS * 1000) {
            if (!TimeBlock(libraryCall, perBlock, &wall, &cpu)) {
                row->failed = true;
                break;
            }
            TimeBlock(bareCall, perBlock, &bareWall, &bareCpu);
            TimeBlock(minimalCall, perBlock, &minimalWall, &minimalCpu);
            calls += perBlock;
        }
        if (row->failed || calls == 0)
            break;
        row->wallMs.push_back(wall / calls);
        row->cpuMs.push_back(cpu / calls);
        row->bareWallMs.push_back(bareWall / calls);
        row->bareCpuMs.push_back(bareCpu / calls);
        row->minimalWallMs.push_back(minimalWall / calls);
        row->calls += calls;
        row->bareCalls += calls;
    }
}

// Median time per op of replaying one kind of the recorded ops, in ms; 0 if there is none.
double CostPerOp(const BareClient &bare, const std::vector<Op> &ops, ReplayPart part, int count,
                 double minTimeS, int repetitions)
{
    if (count == 0)
        return 0;
    std::vector<HKEY> keys;
    std::vector<double> perOp;
    long long calls = 0;
    for (int r = 0; r < repetitions; ++r) {
        Sample s;
        MeasureBlock([&] { Replay(bare, ops, part, keys); return true; }, minTimeS, &s, &calls);
        perOp.push_back(s.wallMs / count);
    }
    return Median(perOp);
}

void JsonList(FILE *json, const char *name, const std::vector<double> &values)
{
    fprintf(json, "\"%s\": [", name);
    for (size_t i = 0; i < values.size(); ++i)
        fprintf(json, "%s%.6f", i ? ", " : "", values[i]);
    fprintf(json, "]");
}

} // namespace

int main(int argc, char **argv)
{
    const char *dllPath = "Kovaltherm.dll";
    const char *jsonPath = "wine-results.json";
    const char *label = sizeof(void *) == 8 ? "x64" : "x86";
    int repetitions = 7;
    double minTimeS = 0.25;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--dll=", 6) == 0)
            dllPath = argv[i] + 6;
        else if (strncmp(argv[i], "--json=", 7) == 0)
            jsonPath = argv[i] + 7;
        else if (strncmp(argv[i], "--label=", 8) == 0)
            label = argv[i] + 8;
        else if (strncmp(argv[i], "--repetitions=", 14) == 0)
            repetitions = atoi(argv[i] + 14) > 0 ? atoi(argv[i] + 14) : 1;
        else if (strncmp(argv[i], "--min-time=", 11) == 0)
            minTimeS = atof(argv[i] + 11);
        else {
            fprintf(stderr, "usage: %s [--dll=PATH] [--json=PATH] [--label=NAME] "
                            "[--repetitions=N] [--min-time=SECONDS]\n", argv[0]);
            return 2;
        }
    }
    QueryPerformanceFrequency(&g_frequency);

    // The bare client: its own driver handle, and the wait the library would take.
    BareClient bare;
    bare.device = CreateFileA(kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              0, NULL);
    if (bare.device == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open %s: error %lu\n", kDevicePath, GetLastError());
        return 1;
    }
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    CreateTimerFunction createTimer =
        (CreateTimerFunction)(void (*)(void))GetProcAddress(kernel, "CreateWaitableTimerExW");
    bare.setTimer = (SetTimerFunction)(void (*)(void))GetProcAddress(kernel, "SetWaitableTimer");
    bare.timer = createTimer && bare.setTimer
                     ? createTimer(NULL, NULL, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                   TIMER_ALL_ACCESS)
                     : NULL;
    const char *path = bare.timer ? "high-resolution waitable timer" : "Sleep";
    bare.mutex = CreateMutexA(NULL, FALSE, NULL);

    HMODULE dll = LoadLibraryA(dllPath);
    if (!dll) {
        fprintf(stderr, "LoadLibraryA(%s) failed: error %lu\n", dllPath, GetLastError());
        return 1;
    }
    if (!WrapImports(dll)) {
        fprintf(stderr, "%s lacks an import the benchmark wraps\n", dllPath);
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
        return 1;
    }
    int ordinal = count - 1;
    // One read first, so that the library has made its wait timer before the recording.
    int warm;
    library.readTemperature(ordinal, &warm);

    FILE *json = fopen(jsonPath, "w");
    if (!json) {
        fprintf(stderr, "cannot write %s\n", jsonPath);
        return 1;
    }
    printf("\nWine (%s): every export through %s and a bare client replaying its calls, "
           "sensor ordinal %d, waits by %s (median of %d repetitions)\n",
           label, dllPath, ordinal, path, repetitions);
    printf("%-20s %9s %9s %7s %8s %7s %8s %8s %4s %4s %4s %4s %9s %7s %7s  %s\n", "export",
           "wall ms", "bare ms", "x bare", "floor ms", "x floor", "cpu ms", "bare cpu", "drv",
           "reg", "wait", "mtx", "min ms", "x min", "min reg", "target");
    fprintf(json, "{\n  \"platform\": \"Windows loader (Wine)\",\n  \"build\": \"%s\",\n", label);
    fprintf(json, "  \"dll\": \"%s\",\n  \"wait_path\": \"%s\",\n", dllPath, path);
    fprintf(json, "  \"repetitions\": %d,\n  \"ordinal\": %d,\n  \"exports\": [\n", repetitions,
            ordinal);
    bool measured = true;
    std::vector<Op> temperatureOps, statusOps;
    size_t n = sizeof kExports / sizeof kExports[0];
    for (size_t i = 0; i < n; ++i) {
        Row row;
        row.ex = &kExports[i];
        MeasureExport(library, bare, ordinal, repetitions, minTimeS, &row);
        if (row.ex->offset == offsetof(Library, readTemperature))
            temperatureOps = g_ops;
        if (row.ex->offset == offsetof(Library, readTempStatus))
            statusOps = g_ops;
        double wall = Median(row.wallMs), bareWall = Median(row.bareWallMs);
        double minimalWall = Median(row.minimalWallMs);
        double minimalRatio = minimalWall > 0 ? wall / minimalWall : 0;
        double cpu = Median(row.cpuMs), bareCpu = Median(row.bareCpuMs);
        double ratio = bareWall > 0 ? wall / bareWall : 0;
        double floorRatio = row.ex->floorMs > 0 ? wall / row.ex->floorMs : 0;
        bool exchange = row.ex->floorMs > 0;
        bool met = !row.failed &&
                   (exchange ? ratio <= kMaxWineBaselineRatio : wall <= kMaxNoExchangeMs);
        measured = measured && !row.failed;
        char ratioText[32] = "-", floorText[32] = "-", minimalText[32] = "-";
        if (minimalWall > 0)
            snprintf(minimalText, sizeof minimalText, "%.3f", minimalRatio);
        if (bareWall > 0)
            snprintf(ratioText, sizeof ratioText, "%.3f", ratio);
        if (exchange)
            snprintf(floorText, sizeof floorText, "%.3f", floorRatio);
        printf("%-20s %9.4f %9.4f %7s %8.1f %7s %8.4f %8.4f %4d %4d %4d %4d %9.4f %7s %7d  %s\n",
               row.ex->name, wall, bareWall, ratioText, row.ex->floorMs, floorText, cpu, bareCpu,
               row.counts.driver, row.counts.registry, row.counts.waits, row.counts.mutexWaits,
               minimalWall,
               minimalText, row.minimalCounts.registry,
               row.failed ? "FAILED" : met ? "met" : "MISSED");
        fprintf(json, "    {\"export\": \"%s\", \"wall_ms\": %.6f, \"wall_ms_min\": %.6f, "
                      "\"wall_ms_max\": %.6f, \"bare_wall_ms\": %.6f, \"baseline_ratio\": ",
                row.ex->name, wall, Smallest(row.wallMs), Largest(row.wallMs), bareWall);
        if (bareWall > 0)
            fprintf(json, "%.6f", ratio);
        else
            fprintf(json, "null");
        fprintf(json, ", \"floor_ms\": %.1f, \"floor_ratio\": ", row.ex->floorMs);
        if (exchange)
            fprintf(json, "%.6f", floorRatio);
        else
            fprintf(json, "null");
        fprintf(json, ", \"cpu_ms\": %.6f, \"bare_cpu_ms\": %.6f, \"driver_requests\": %d, "
                      "\"registry_calls\": %d, \"waits\": %d, \"calls\": %lld, ",
                cpu, bareCpu, row.counts.driver, row.counts.registry, row.counts.waits,
                row.calls);
        JsonList(json, "wall_ms_runs", row.wallMs);
        fprintf(json, ", ");
        JsonList(json, "bare_wall_ms_runs", row.bareWallMs);
        fprintf(json, ", \"minimal_wall_ms\": %.6f, \"minimal_ratio\": ", minimalWall);
        if (minimalWall > 0)
            fprintf(json, "%.6f", minimalRatio);
        else
            fprintf(json, "null");
        fprintf(json, ", \"mutex_waits\": %d, \"minimal_registry_calls\": %d, ",
                row.counts.mutexWaits, row.minimalCounts.registry);
        JsonList(json, "minimal_wall_ms_runs", row.minimalWallMs);
        fprintf(json, ", \"target\": \"%s\", \"failed\": %s, \"met\": %s}%s\n",
                exchange ? "wall <= 1.03 x bare client" : "wall <= 0.1 ms",
                row.failed ? "true" : "false", met ? "true" : "false", i + 1 < n ? "," : "");
    }
    fprintf(json, "  ],\n");
    printf("Targets: a read with an exchange <= %.2f x the bare client making the same driver "
           "requests, waits and registry calls; others <= %.1f ms per call. The minimal client "
           "(min) makes only the registry calls a reading needs.\n",
           kMaxWineBaselineRatio, kMaxNoExchangeMs);

    // What the platform charges, from the bare client's replays of the recorded calls.
    Counts t = CountOps(temperatureOps), s = CountOps(statusOps);
    double perRequest = CostPerOp(bare, temperatureOps, REPLAY_DRIVER, t.driver, minTimeS, 3);
    double perRegistry = CostPerOp(bare, statusOps, REPLAY_REGISTRY, s.registry, minTimeS, 3);
    double perWait = CostPerOp(bare, temperatureOps, REPLAY_WAITS, t.waits, minTimeS, 3);
    printf("Wine charges per driver request %.1f us, per registry call %.1f us, per 2 ms wait "
           "%.3f ms (bare client, median of 3)\n",
           perRequest * 1000, perRegistry * 1000, perWait);
    fprintf(json, "  \"per_driver_request_us\": %.3f,\n  \"per_registry_call_us\": %.3f,\n"
                  "  \"per_wait_ms\": %.4f,\n",
            perRequest * 1000, perRegistry * 1000, perWait);

    // The fallback through the real loader: the DLL loaded afresh on a system shown without
    // the high-resolution timer, so that it waits with Sleep and raises the timer resolution.
    FreeLibrary(dll);
    g_hideHighResolution = true;
    dll = LoadLibraryA(dllPath);
    bool fallbackRan = dll && WrapImports(dll);
    printf("\nWine (%s), without the high-resolution timer: Sleep, timer resolution raised to "
           "1 ms for each block read (median of %d repetitions)\n", label, repetitions);
    printf("%-20s %9s %8s %7s %7s %7s %7s  %s\n", "export", "wall ms", "floor ms", "x floor",
           "begins", "granted", "ends", "target");
    fprintf(json, "  \"fallback\": [\n");
    const size_t kReads[] = {offsetof(Library, readTemperature), offsetof(Library, readTempStatus)};
    for (size_t k = 0; k < 2 && fallbackRan; ++k) {
        const ExportCase *ex = NULL;
        for (size_t i = 0; i < n; ++i)
            if (kExports[i].offset == kReads[k])
                ex = &kExports[i];
        Library fresh = library;
        *(OrdinalFunction *)((char *)&fresh + ex->offset) =
            (OrdinalFunction)(void (*)(void))GetProcAddress(dll, ex->name);
        g_periodBegins = g_periodGranted = g_periodEnds = 0;
        std::vector<double> wallMs;
        long long calls = 0;
        bool failed = false;
        for (int r = 0; r < repetitions && !failed; ++r) {
            Sample sample;
            failed = !MeasureBlock([&] { return CallExport(fresh, *ex, ordinal) != 0; },
                                   minTimeS, &sample, &calls);
            if (!failed)
                wallMs.push_back(sample.wallMs);
        }
        double wall = Median(wallMs), ratio = wall / ex->floorMs;
        // Every begin that was granted must have been ended, and a read makes one block read.
        bool matched = g_periodGranted == g_periodEnds && g_periodBegins == calls;
        bool met = !failed && matched && ratio <= kMaxFallbackFloorRatio;
        fallbackRan = fallbackRan && !failed && matched;
        printf("%-20s %9.4f %8.1f %7.3f %7d %7d %7d  %s\n", ex->name, wall, ex->floorMs, ratio,
               g_periodBegins, g_periodGranted, g_periodEnds,
               failed ? "FAILED" : !matched ? "UNMATCHED BEGIN AND END" : met ? "met" : "MISSED");
        fprintf(json, "    {\"export\": \"%s\", \"wall_ms\": %.6f, \"wall_ms_min\": %.6f, "
                      "\"wall_ms_max\": %.6f, \"floor_ratio\": %.6f, \"period_begins\": %d, "
                      "\"period_granted\": %d, \"period_ends\": %d, \"calls\": %lld, "
                      "\"target\": \"wall <= 1.3 x floor\", \"failed\": %s, \"met\": %s}%s\n",
                ex->name, wall, Smallest(wallMs), Largest(wallMs), ratio, g_periodBegins,
                g_periodGranted, g_periodEnds, calls, failed || !matched ? "true" : "false",
                met ? "true" : "false", k == 0 ? "," : "");
    }
    if (!fallbackRan)
        printf("the fallback could not be measured\n");
    measured = measured && fallbackRan;
    fprintf(json, "  ],\n  \"measured\": %s\n}\n", measured ? "true" : "false");
    fclose(json);
    if (dll)
        FreeLibrary(dll);
    CloseHandle(bare.device);
    if (bare.timer)
        CloseHandle(bare.timer);
    if (bare.mutex)
        CloseHandle(bare.mutex);
    printf("Written to %s\n", jsonPath);
    return measured ? 0 : 1;
}
