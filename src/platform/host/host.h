// Controls of the host stand-in: the machine the library runs on when it is not Windows.
// Tests, tools and benchmarks use these to set up the OS family, the driver's devices, the
// simulated notebook, the registry and the clock. What only tests need (injected faults,
// call counts, the records of calls) is in test_controls.h, a library of its own that the
// tool and libkovaltherm.so do not carry. Every function here is safe to call from several
// threads.
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

// A call of CreateMutexA or OpenMutexA, as the stand-in records it for the test controls.
struct MutexCall {
    HostFunction function;          // FN_CREATE_MUTEX or FN_OPEN_MUTEX
    std::string name;               // "" for an unnamed mutex
    DWORD access;                   // OpenMutexA's desired access; 0 for CreateMutexA
    bool initialOwner;              // CreateMutexA's bInitialOwner
    bool securityAttributes;        // CreateMutexA was given SECURITY_ATTRIBUTES
    std::vector<BYTE> descriptor;   // the self-relative security descriptor given, if any
};

// A wait on the virtual clock, as the stand-in records it for the test controls.
struct Wait {
    uint64_t atMs;   // clock when the wait began
    DWORD ms;        // length asked for
    WaitKind kind;   // Sleep, or a wait on a waitable timer
};

// Puts everything back as on a fresh machine: NT family, the driver installed (both device
// names), high-resolution timers, no raised timer period, the default simulated notebook, an
// empty in-memory registry, the virtual clock at 0 with exact waits, and, where the test
// controls are linked in, no fault and all records and counts cleared.
void ResetMachine();

void SetOsFamily(OsFamily family);
// Makes CreateFileA able (or unable) to open the named device.
void SetDeviceAvailable(const std::string &path, bool available);
// Kernel handles currently open: devices and waitable timers (mutexes: OpenMutexCount).
int OpenHandleCount();
// Chooses which waitable-timer functions GetProcAddress finds in kernel32 and whether
// CreateWaitableTimerExW accepts CREATE_WAITABLE_TIMER_HIGH_RESOLUTION.
void SetTimerSupport(TimerSupport support);
// Waitable timers currently open.
int OpenTimerCount();

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
// Mutex handles currently open in this process.
int OpenMutexCount();

// Loads a scenario into the simulated notebook (state and request log start afresh).
void LoadScenario(const SimConfig &config);
// Runs `f` on the simulated notebook under the stand-in's lock.
void WithNotebook(const std::function<void(SimNotebook &)> &f);

// The registry behind HKEY_LOCAL_MACHINE, and its replacement (open keys must be closed).
RegistryStore &Registry();
void UseRegistry(std::unique_ptr<RegistryStore> store);
// Registry keys currently open.
int OpenKeyCount();
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

} // namespace host

#endif
