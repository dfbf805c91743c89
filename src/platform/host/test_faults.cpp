// Test controls: which failable calls of the stand-in fail (once, from some call on, or by a
// repeating pattern), the return addresses where faults fired, so that tests can tell which
// of the library's call sites a fault has reached, and how often each function was called.
#include <set>

#include "platform/host/host_internal.h"
#include "platform/host/test_controls.h"

namespace host {

namespace {

struct Fault {
    bool armed = false;
    bool persistent = false;
    uint64_t nth = 0;
    uint32_t functions = 0;
    uint64_t calls = 0;
    bool fired = false;
    std::vector<uint8_t> pattern; // when not empty, replaces nth and persistent
};

Fault g_fault;
uint64_t g_calls[FN_COUNT];

// The Win32 name of each stand-in function, as the library's object code calls it.
const char *const kFunctionNames[] = {
    "GetVersionExA",
    "CreateFileA",
    "CloseHandle",
    "DeviceIoControl",
    "RegOpenKeyExA",
    "RegCreateKeyExA",
    "RegQueryValueExA",
    "RegSetValueExA",
    "RegCloseKey",
    "GetModuleHandleA",
    "GetProcAddress",
    "CreateWaitableTimerExW",
    "SetWaitableTimer",
    "WaitForSingleObject",
    "QueryPerformanceCounter",
    "QueryPerformanceFrequency",
    "CreateMutexA",
    "OpenMutexA",
    "ReleaseMutex",
    "LoadLibraryA",
    "timeBeginPeriod",
    "timeEndPeriod",
    "Sleep",
    "wsprintfA",
};
static_assert(sizeof kFunctionNames / sizeof kFunctionNames[0] == FN_COUNT,
              "every stand-in function needs its Win32 name");

// Kept across ResetMachine, so that a test can gather sites over many machines: where a
// fault fired, and where any failable call was made while a fault was armed.
std::set<uintptr_t> g_faultSites;
std::set<uintptr_t> g_armedCallSites;

// Counts the call and decides whether it fails, recording where (lock held).
bool CallFailsFrom(HostFunction function, const void *caller)
{
    ++g_calls[function];
    if (!g_fault.armed || !(g_fault.functions & (1u << function)))
        return false;
    g_armedCallSites.insert((uintptr_t)caller);
    uint64_t k = g_fault.calls++;
    bool fails;
    if (!g_fault.pattern.empty()) {
        uint64_t bit = k % (g_fault.pattern.size() * 8);
        fails = (g_fault.pattern[bit / 8] >> (bit % 8)) & 1;
    } else {
        fails = g_fault.persistent ? g_fault.calls >= g_fault.nth : g_fault.calls == g_fault.nth;
    }
    if (fails) {
        g_fault.fired = true;
        g_faultSites.insert((uintptr_t)caller);
    }
    return fails;
}

// On ResetMachine: no fault, no calls counted; the sites stay.
void ResetFaults()
{
    g_fault = Fault{};
    for (uint64_t &count : g_calls)
        count = 0;
}

// Sets the hooks as the program starts.
struct Install {
    Install()
    {
        internal::g_testHooks.callFails = CallFailsFrom;
        internal::g_testHooks.resetFaults = ResetFaults;
    }
} g_install;

} // namespace

void InjectFault(uint64_t nth, FaultMode mode, uint32_t functions)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    g_fault = Fault{};
    g_fault.armed = true;
    g_fault.persistent = mode == FaultMode::Persistent;
    g_fault.nth = nth;
    g_fault.functions = functions;
}

void InjectFaultPattern(const std::vector<uint8_t> &pattern, uint32_t functions)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    g_fault = Fault{};
    g_fault.armed = !pattern.empty();
    g_fault.functions = functions;
    g_fault.pattern = pattern;
}

void ClearFault()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    g_fault = Fault{};
}

bool FaultFired()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return g_fault.fired;
}

uint64_t FaultableCalls()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return g_fault.calls;
}

const char *FunctionName(HostFunction function) { return kFunctionNames[function]; }

std::vector<uintptr_t> FaultSites()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return std::vector<uintptr_t>(g_faultSites.begin(), g_faultSites.end());
}

std::vector<uintptr_t> ArmedCallSites()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return std::vector<uintptr_t>(g_armedCallSites.begin(), g_armedCallSites.end());
}

void ClearFaultSites()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    g_faultSites.clear();
    g_armedCallSites.clear();
}

uint64_t CallCount(HostFunction function)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return g_calls[function];
}

void ResetCallCounts()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    for (uint64_t &count : g_calls)
        count = 0;
}

} // namespace host
