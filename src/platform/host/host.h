// Controls of the host stand-in: the machine the library runs on when it is not Windows.
// Tests, tools and benchmarks use these to set up the OS family, the driver's devices, the
// simulated notebook, the registry, the clock and injected faults, and to observe what the
// library did. Every function here is safe to call from several threads.
#ifndef KOVALTHERM_HOST_H
#define KOVALTHERM_HOST_H

#include <stdint.h>
#include <time.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/registry_store.h"
#include "platform/win32_api.h"
#include "sim/notebook.h"

namespace host {

// The thermal driver's device names, as CreateFileA receives them.
extern const char *const kDevicePathNt;   // "\\.\qorix"
extern const char *const kDevicePath9x;   // "\\.\qorix.vxd"
// A named mutex's lock file sits in the folder of the registry file (its links followed) and
// is named <prefix><device>-<inode><infix><name>, after the registry file's device and inode.
extern const char kMutexLockFilePrefix[]; // "kovaltherm-"
extern const char kMutexLockFileInfix[];  // ".mutex."
// The part of the lock files' paths before the mutex's name, for the registry file at
// `registryPath`: "<folder>/kovaltherm-<device>-<inode>.mutex."; "" when it leads to no file.
std::string MutexLockFileStem(const std::string &registryPath);

enum class OsFamily { Nt, Win9x, Other, QueryFails };

enum class ClockMode { Virtual, Real };

// Which waitable timers kernel32 offers, by Windows generation.
enum class TimerSupport {
    None,           // Windows 95: no waitable timers at all
    Basic,          // NT 4.0 to XP: SetWaitableTimer, but no CreateWaitableTimerExW
    Ex,             // Vista to Windows 10 1709: CreateWaitableTimerExW refuses high resolution
    HighResolution, // Windows 10 1803 on: high-resolution timers
};

// How a recorded wait was made: Sleep, a waitable timer, or a wait on a mutex that timed out.
enum class WaitKind { Sleep, Timer, Mutex };

// The stand-in functions, for fault injection and call counts.
enum HostFunction {
    FN_GET_VERSION_EX,
    FN_CREATE_FILE,
    FN_CLOSE_HANDLE,
    FN_DEVICE_IO_CONTROL,
    FN_REG_OPEN_KEY,
    FN_REG_CREATE_KEY,
    FN_REG_QUERY_VALUE,
    FN_REG_SET_VALUE,
    FN_REG_CLOSE_KEY,
    FN_GET_MODULE_HANDLE,
    FN_GET_PROC_ADDRESS,
    FN_CREATE_WAITABLE_TIMER,
    FN_SET_WAITABLE_TIMER,
    FN_WAIT_FOR_SINGLE_OBJECT,
    FN_QUERY_PERFORMANCE_COUNTER,
    FN_QUERY_PERFORMANCE_FREQUENCY,
    FN_CREATE_MUTEX,
    FN_OPEN_MUTEX,
    FN_RELEASE_MUTEX,
    FN_LOAD_LIBRARY,
    FN_TIME_BEGIN_PERIOD,
    FN_TIME_END_PERIOD,
    FN_SLEEP,
    FN_WSPRINTF,
    FN_COUNT
};

// Functions that have a failure mode; Sleep and wsprintfA have none and never fail.
// QueryPerformanceCounter fails on hardware without a performance counter (before XP);
// LoadLibraryA when the module is missing or memory runs out; timeBeginPeriod and
// timeEndPeriod with TIMERR_NOCANDO.
constexpr uint32_t kFailableFunctions = (1u << FN_SLEEP) - 1;
constexpr uint32_t kRegistryFunctions = 1u << FN_REG_OPEN_KEY | 1u << FN_REG_CREATE_KEY |
                                        1u << FN_REG_QUERY_VALUE | 1u << FN_REG_SET_VALUE |
                                        1u << FN_REG_CLOSE_KEY;

enum class FaultMode { Once, Persistent };

struct CreateFileCall {
    std::string path;
    DWORD access;
    DWORD share;
    bool securityAttributes;
    DWORD disposition;
    DWORD flags;
    bool templateFile;
};

// A RegOpenKeyExA or RegCreateKeyExA call: which, the subkey asked for, the access mask.
struct RegistryOpenCall {
    HostFunction function; // FN_REG_OPEN_KEY or FN_REG_CREATE_KEY
    std::string subKey;
    REGSAM access;
};

// A call of CreateMutexA or OpenMutexA.
struct MutexCall {
    HostFunction function;          // FN_CREATE_MUTEX or FN_OPEN_MUTEX
    std::string name;               // "" for an unnamed mutex
    DWORD access;                   // OpenMutexA's desired access; 0 for CreateMutexA
    bool initialOwner;              // CreateMutexA's bInitialOwner
    bool securityAttributes;        // CreateMutexA was given SECURITY_ATTRIBUTES
    std::vector<BYTE> descriptor;   // the self-relative security descriptor given, if any
};

// A mutex taken (first level) or released (last level) by this process, and how many driver
// requests the notebook had logged by then.
struct MutexEvent {
    std::string name;
    bool acquired;
    uint32_t requests;
};

struct Wait {
    uint64_t atMs;   // clock when the wait began
    DWORD ms;        // length asked for
    WaitKind kind;   // Sleep, or a wait on a waitable timer
};

// Puts everything back as on a fresh machine: NT family, the driver installed (both device
// names), high-resolution timers, no raised timer period, the default simulated notebook, an
// empty in-memory
// registry, the virtual clock at 0 with exact waits, no fault, all records and counts cleared.
void ResetMachine();

void SetOsFamily(OsFamily family);
// Makes CreateFileA able (or unable) to open the named device.
void SetDeviceAvailable(const std::string &path, bool available);
// Every CreateFileA call so far, in order.
std::vector<CreateFileCall> CreateFileCalls();
// Kernel handles currently open: devices and waitable timers (mutexes: OpenMutexCount).
int OpenHandleCount();
// Chooses which waitable-timer functions GetProcAddress finds in kernel32 and whether
// CreateWaitableTimerExW accepts CREATE_WAITABLE_TIMER_HIGH_RESOLUTION.
void SetTimerSupport(TimerSupport support);
// Waitable timers currently open.
int OpenTimerCount();
// What winmm's timer-resolution calls did since the reset. While a period is raised, Sleep
// and timers without high resolution keep the smallest raised period as their tick, if it
// is finer than the one SetSleepTick set.
struct TimerPeriods {
    uint64_t begins;  // timeBeginPeriod calls
    uint64_t granted; // of those, the ones that succeeded
    uint64_t ends;    // timeEndPeriod calls, whether or not they succeeded
    int raised;       // requests not yet ended, over all periods
};
TimerPeriods TimerPeriodCalls();

// Named mutexes: kernel objects by exact name. While the registry is a file they are shared
// with other processes through lock files beside it (a holder that dies, even by SIGKILL,
// leaves the mutex abandoned); with the registry in memory they live in this process.
// Ownership is per thread and recursive; a thread that ends while owning one abandons it.
// A wait that cannot be satisfied at once polls, and times out when its length has passed
// on the stand-in's clock; on the virtual clock also after that length in real time, when
// the time out is recorded as a wait and moves the clock on.
//
// Makes names beginning "Global\" work, or fail with ERROR_PATH_NOT_FOUND as before
// Windows 2000.
void SetGlobalNamespace(bool available);
// Every CreateMutexA and OpenMutexA call so far, in order.
std::vector<MutexCall> MutexCalls();
// Mutex handles currently open in this process.
int OpenMutexCount();
// Each time a mutex of this process was taken or given up, in order (the first 16384 since
// the last reset).
std::vector<MutexEvent> MutexEvents();

// Loads a scenario into the simulated notebook (state and request log start afresh).
void LoadScenario(const SimConfig &config);
// Runs `f` on the simulated notebook under the stand-in's lock.
void WithNotebook(const std::function<void(SimNotebook &)> &f);
// The notebook's request log: every driver request so far.
std::vector<SimLogEntry> RequestLog();
void ClearRequestLog();

// The registry behind HKEY_LOCAL_MACHINE, and its replacement (open keys must be closed).
RegistryStore &Registry();
void UseRegistry(std::unique_ptr<RegistryStore> store);
// Registry keys currently open.
int OpenKeyCount();
// The RegOpenKeyExA and RegCreateKeyExA calls since the last reset, in order, whether they
// succeeded or not (the first 4096; subkeys cut at 127 characters).
std::vector<RegistryOpenCall> RegistryOpenCalls();
// Test shorthand for REG_DWORD values: set (creating the key), and get (false if missing or
// not REG_DWORD).
void SetDword(const std::string &path, const std::string &name, int32_t value);
bool GetDword(const std::string &path, const std::string &name, int32_t *value);

void SetClockMode(ClockMode mode);
// Milliseconds on the stand-in's clock (virtual, or real time since the mode was set).
uint64_t NowMs();
// Makes Sleep (and timers without high resolution) keep a scheduler tick of `us`
// microseconds, 0 for exact waits: a wait ends at the first tick at or after the last tick
// plus its length, so it can end up to a tick late, or early when shorter than a tick.
void SetSleepTick(uint32_t us);
// Whole microseconds from `start` to `end`, two readings of a monotonic clock with `end` not
// before `start`: the nanoseconds borrow a second when `end`'s are fewer.
uint64_t ElapsedUs(const timespec &start, const timespec &end);
// Moves the virtual clock on without a recorded wait.
void AdvanceClock(uint64_t ms);
// Every wait so far (Sleep, on a waitable timer, or a mutex wait that timed out), in order; on
// the virtual clock only (the first 16384 since the last clear).
std::vector<Wait> Waits();
void ClearWaits();

// Makes the n-th failable call from now on (counting from 1, only functions in `functions`)
// fail, once or from then on. A failed close still releases its handle.
void InjectFault(uint64_t nth, FaultMode mode, uint32_t functions = kFailableFunctions);
// Makes failable calls (only functions in `functions`) fail by a repeating pattern: the k-th
// call from now on (counting from 0) fails when bit k mod (8 * pattern size) of `pattern`
// is set (bit 0 = lowest bit of byte 0). An empty pattern fails nothing.
void InjectFaultPattern(const std::vector<uint8_t> &pattern,
                        uint32_t functions = kFailableFunctions);
void ClearFault();
// True once an injected fault has made a call fail.
bool FaultFired();
// Failable calls counted since the fault was injected.
uint64_t FaultableCalls();

// The Win32 name of a stand-in function.
const char *FunctionName(HostFunction function);
// The return addresses of every call an injected fault made fail, since the program started
// or ClearFaultSites (ResetMachine keeps them): where in the caller each fault fired.
std::vector<uintptr_t> FaultSites();
// The return addresses of every failable call made while a fault was armed, likewise.
std::vector<uintptr_t> ArmedCallSites();
void ClearFaultSites();

// Calls into each stand-in function since the last reset.
uint64_t CallCount(HostFunction function);
void ResetCallCounts();

// Every string the library passed to OutputDebugStringA since the last clear, in order (the
// first 4096).
std::vector<std::string> DebugStrings();
void ClearDebugStrings();

} // namespace host

#endif
