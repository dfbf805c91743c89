// The stand-in's test controls: injected faults, where they fired, call counts and the
// records of calls. They live in a test-only library (the test_*.cpp files beside this
// one), linked whole into the tests, fuzzers and benchmarks and never into ktsensors or
// libkovaltherm.so; without it the stand-in records nothing and fails no call.
#ifndef KOVALTHERM_TEST_CONTROLS_H
#define KOVALTHERM_TEST_CONTROLS_H

#include "platform/host/host.h"

namespace host {

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

// A mutex taken (first level) or released (last level) by this process, and how many driver
// requests the notebook had logged by then.
struct MutexEvent {
    std::string name;
    bool acquired;
    uint32_t requests;
};

// What winmm's timer-resolution calls did since the reset. While a period is raised, Sleep
// and timers without high resolution keep the smallest raised period as their tick, if it
// is finer than the one SetSleepTick set.
struct TimerPeriods {
    uint64_t begins;  // timeBeginPeriod calls
    uint64_t granted; // of those, the ones that succeeded
    uint64_t ends;    // timeEndPeriod calls, whether or not they succeeded
    int raised;       // requests not yet ended, over all periods
};

// ---- Faults, where they fired, and call counts (test_faults.cpp) ----

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

// ---- Records of calls (test_call_logs.cpp) ----

// Every CreateFileA call so far, in order.
std::vector<CreateFileCall> CreateFileCalls();
// The RegOpenKeyExA and RegCreateKeyExA calls since the last reset, or since the registry was
// replaced, in order, whether they succeeded or not (the first 4096; subkeys cut at 127
// characters).
std::vector<RegistryOpenCall> RegistryOpenCalls();
// Every CreateMutexA and OpenMutexA call so far, in order.
std::vector<MutexCall> MutexCalls();
// Each time a mutex of this process was taken or given up, in order (the first 16384 since
// the last reset).
std::vector<MutexEvent> MutexEvents();
// What winmm's timer-resolution calls did since the reset.
TimerPeriods TimerPeriodCalls();
// Every wait so far (Sleep, on a waitable timer, or a mutex wait that timed out), in order; on
// the virtual clock only (the first 16384 since the last clear).
std::vector<Wait> Waits();
void ClearWaits();
// Every string the library passed to OutputDebugStringA since the last clear, in order (the
// first 4096).
std::vector<std::string> DebugStrings();
void ClearDebugStrings();
// The notebook's request log: every driver request so far.
std::vector<SimLogEntry> RequestLog();
void ClearRequestLog();

} // namespace host

#endif
