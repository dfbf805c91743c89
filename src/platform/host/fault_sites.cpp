// Where injected faults fired: the return addresses of the failed calls, so that tests can
// tell which of the library's call sites a fault has reached.
#include <set>

#include "platform/host/host_internal.h"

namespace host {

namespace {

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

} // namespace

namespace internal {

void RecordFaultSite(const void *caller) { g_faultSites.insert((uintptr_t)caller); }

void RecordArmedCallSite(const void *caller) { g_armedCallSites.insert((uintptr_t)caller); }

} // namespace internal

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

} // namespace host
