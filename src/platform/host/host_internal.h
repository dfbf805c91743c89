// State shared by the stand-in's files; not for tests or tools.
#ifndef KOVALTHERM_HOST_INTERNAL_H
#define KOVALTHERM_HOST_INTERNAL_H

#include <mutex>

#include "platform/host/host.h"

namespace host {
namespace internal {

// One lock over the whole stand-in: the registry, handles, notebook, clock and counts.
std::recursive_mutex &Lock();

// A call of winmm's timer-period functions: a timeBeginPeriod, one that was granted, a
// timeEndPeriod.
enum class TimerPeriodCall { Begin, Granted, End };

// Where the test controls (test_*.cpp, a test-only library) watch the stand-in: each hook is
// null unless they are linked in, when their files set them as the program starts. They are
// called with the lock held, but for `debugString`.
struct TestHooks {
    // Counts a call into `function` made from `caller` (the return address into the code that
    // called the stand-in); true when an injected fault makes it fail.
    bool (*callFails)(HostFunction function, const void *caller);
    void (*createFile)(const char *path, DWORD access, DWORD share, bool securityAttributes,
                       DWORD disposition, DWORD flags, bool templateFile);
    void (*registryOpen)(HostFunction function, const char *subKey, REGSAM access);
    // The record for the next CreateMutexA or OpenMutexA call, for the stand-in to fill.
    MutexCall *(*mutexCall)();
    // A mutex of this process taken (first level) or given up (last level).
    void (*mutexEvent)(const std::string &name, bool acquired, uint32_t requests);
    void (*timerPeriod)(TimerPeriodCall call);
    void (*wait)(const Wait &wait);
    void (*debugString)(const char *text);
    // ResetMachine: the faults and counts, and every record (the hooks' own state).
    void (*resetFaults)();
    void (*resetLogs)();
    // The registry was replaced: the record of registry opens starts again.
    void (*resetRegistryLog)();
};
extern TestHooks g_testHooks;

// Counts a call into the stand-in function this is written in, and returns true when an
// injected fault makes it fail. Inlined into that function, so that the return address is
// that of its own caller. Lock held.
__attribute__((always_inline)) inline bool CallFails(HostFunction function)
{
    return g_testHooks.callFails && g_testHooks.callFails(function, __builtin_return_address(0));
}

// The clock (on reset; lock held).
void ResetClock();

// True while the clock is virtual (lock held).
bool VirtualClock();

// The registry file's path, "" when the registry is in memory (lock held).
std::string RegistryFilePath();

// The simulated notebook (lock held).
SimNotebook &Notebook();

// The registry store behind HKEY_LOCAL_MACHINE, made in memory if there is none (lock held).
RegistryStore &Store();

// Milliseconds and microseconds on the clock (lock held).
uint64_t Now();
uint64_t NowUs();
// The clock in 100-nanosecond units, not rounded to a microsecond: the performance counter's
// readings (lock held).
uint64_t NowHundredsOfNs();

// Timer-period requests of timeBeginPeriod not yet ended, over all periods (lock held).
int RaisedTimerPeriods();

// Returns the clock (in microseconds) at which a wait of `lengthUs` begun now ends: exactly
// then, or when `ticked`, at the scheduler tick the wait rounds to (lock held).
uint64_t WaitEndUs(uint64_t lengthUs, bool ticked);

// On the virtual clock, hands a wait of `ms` asked for to the test controls' record, moves
// the clock to `endUs` and returns true; on the real clock returns false (lock held).
bool VirtualWait(uint64_t endUs, DWORD ms, WaitKind kind);

// Sleeps until the real clock reads `endUs` (lock not held).
void RealWaitUntil(uint64_t endUs);

// Registers a new kernel handle and returns it (lock held).
HANDLE OpenKernelHandle();

// The tick of a wait that keeps the scheduler tick: `tickUs`, or the smallest raised timer
// period if finer; 0 (exact) stays 0 (lock held).
uint64_t EffectiveTickUs(uint64_t tickUs);

// Closes every waitable timer, drops raised timer periods and restores high-resolution
// support (on reset).
void ResetTimers();

// True if `handle` is an open waitable timer (lock held).
bool IsTimer(HANDLE handle);

// Forgets a waitable timer whose handle is being closed (lock held).
void ForgetTimer(HANDLE handle);

// Closes every device handle and restores the OS family and device names (on reset).
void ResetKernel();

// True if `handle` is an open named-mutex handle (lock held).
bool IsMutexHandle(HANDLE handle);

// Forgets a mutex handle being closed; the mutex goes when its last handle does (lock held).
void ForgetMutexHandle(HANDLE handle);

// Waits for a mutex, blocking without the lock; returns what WaitForSingleObject returns.
DWORD WaitForMutex(HANDLE handle, DWORD ms);

// Closes every named mutex; what this process held reads as abandoned elsewhere (on reset;
// lock held).
void ResetNamedMutexes();

// Drops every open registry key (on reset, and when the registry is replaced).
void ResetRegistryHandles();

} // namespace internal
} // namespace host

#endif
