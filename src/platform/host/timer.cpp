// Stand-in waitable timers and the run-time lookup that finds them: GetModuleHandleA,
// LoadLibraryA and GetProcAddress for kernel32 and winmm, CreateWaitableTimerExW,
// SetWaitableTimer, WaitForSingleObject, winmm's timeBeginPeriod and timeEndPeriod, and the
// performance counter. Timers wait on the stand-in's clock.
#include <map>

#include "platform/host/host_internal.h"

namespace host {

namespace {

// The performance counter counts 100 ns units, as on current Windows.
const LONGLONG kCounterFrequency = 10000000;
const LONGLONG kCounterUnitsPerUs = 10;
const LONGLONG kTimerUnitsPerMs = 10000;
const uint64_t kUsPerMs = 1000;
const char kKernelModuleName[] = "kernel32";
const char kKernelModuleFile[] = "kernel32.dll";
// Any nonzero value serves as the module handle; this is kernel32's customary base.
HMODULE const kKernelModule = (HMODULE)(uintptr_t)0x7C800000u;
const char kMultimediaModuleName[] = "winmm";
const char kMultimediaModuleFile[] = "winmm.dll";
HMODULE const kMultimediaModule = (HMODULE)(uintptr_t)0x76B40000u;
// The range of timer periods timeGetDevCaps reports on current Windows, in ms.
const UINT kMinTimerPeriodMs = 1;
const UINT kMaxTimerPeriodMs = 1000000;
const DWORD kTimerFlags = CREATE_WAITABLE_TIMER_MANUAL_RESET | CREATE_WAITABLE_TIMER_HIGH_RESOLUTION;

struct Timer {
    bool highResolution = false;
    bool manualReset = false;
    bool set = false;        // due time set and not yet waited out
    uint64_t endUs = 0;      // when it signals, on the stand-in's clock
    DWORD ms = 0;            // length asked for, whole milliseconds rounded up
};

TimerSupport g_support = TimerSupport::HighResolution;
std::map<uintptr_t, Timer> g_timers;
// Outstanding timeBeginPeriod requests, by period.
std::map<UINT, int> g_periods;

// Hands a timer-period call to the test controls' record (lock held).
void RecordPeriodCall(internal::TimerPeriodCall call)
{
    if (internal::g_testHooks.timerPeriod)
        internal::g_testHooks.timerPeriod(call);
}

} // namespace

namespace internal {

void ResetTimers()
{
    g_timers.clear();
    g_periods.clear();
    g_support = TimerSupport::HighResolution;
}

uint64_t EffectiveTickUs(uint64_t tickUs)
{
    if (!tickUs || g_periods.empty())
        return tickUs;
    uint64_t periodUs = (uint64_t)g_periods.begin()->first * kUsPerMs;
    return periodUs < tickUs ? periodUs : tickUs;
}

int RaisedTimerPeriods()
{
    int raised = 0;
    for (const auto &period : g_periods)
        raised += period.second;
    return raised;
}

bool IsTimer(HANDLE handle) { return g_timers.count((uintptr_t)handle) != 0; }

void ForgetTimer(HANDLE handle) { g_timers.erase((uintptr_t)handle); }

} // namespace internal

void SetTimerSupport(TimerSupport support)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    g_support = support;
}

int OpenTimerCount()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return (int)g_timers.size();
}

} // namespace host

using namespace host;

extern "C" {

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::CallFails(FN_GET_MODULE_HANDLE) || !lpModuleName) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    std::string name = FoldCase(lpModuleName);
    if (name != kKernelModuleName && name != kKernelModuleFile) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    return kKernelModule;
}

// Loads nothing: kernel32 and winmm, which every Windows has, are found; any other module
// is missing.
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::CallFails(FN_LOAD_LIBRARY)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    std::string name = FoldCase(lpLibFileName ? lpLibFileName : "");
    if (name == kKernelModuleName || name == kKernelModuleFile)
        return kKernelModule;
    if (name == kMultimediaModuleName || name == kMultimediaModuleFile)
        return kMultimediaModule;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    bool fails = internal::CallFails(FN_GET_PROC_ADDRESS);
    std::string name = lpProcName ? lpProcName : "";
    FARPROC found = NULL;
    // Procedure names compare case-sensitively.
    if (!fails && hModule == kKernelModule) {
        if (name == "SetWaitableTimer" && g_support != TimerSupport::None)
            found = (FARPROC)(void (*)(void))&SetWaitableTimer;
        else if (name == "CreateWaitableTimerExW" && (g_support == TimerSupport::Ex ||
                                                      g_support == TimerSupport::HighResolution))
            found = (FARPROC)(void (*)(void))&CreateWaitableTimerExW;
    } else if (!fails && hModule == kMultimediaModule) {
        if (name == "timeBeginPeriod")
            found = (FARPROC)(void (*)(void))&timeBeginPeriod;
        else if (name == "timeEndPeriod")
            found = (FARPROC)(void (*)(void))&timeEndPeriod;
    }
    bool known = hModule == kKernelModule || hModule == kMultimediaModule;
    if (!found)
        SetLastError(known ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND);
    return found;
}

// Raises the timer resolution to `uPeriod` ms until the matching timeEndPeriod.
UINT WINAPI timeBeginPeriod(UINT uPeriod)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    RecordPeriodCall(internal::TimerPeriodCall::Begin);
    if (internal::CallFails(FN_TIME_BEGIN_PERIOD) || uPeriod < kMinTimerPeriodMs ||
        uPeriod > kMaxTimerPeriodMs)
        return TIMERR_NOCANDO;
    RecordPeriodCall(internal::TimerPeriodCall::Granted);
    ++g_periods[uPeriod];
    return TIMERR_NOERROR;
}

// Ends one timeBeginPeriod request of the same period; fails if there is none.
UINT WINAPI timeEndPeriod(UINT uPeriod)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    RecordPeriodCall(internal::TimerPeriodCall::End);
    auto found = g_periods.find(uPeriod);
    if (internal::CallFails(FN_TIME_END_PERIOD) || found == g_periods.end())
        return TIMERR_NOCANDO;
    if (--found->second == 0)
        g_periods.erase(found);
    return TIMERR_NOERROR;
}

// Creates an unnamed timer; named timers are not stood in for.
HANDLE WINAPI CreateWaitableTimerExW(LPSECURITY_ATTRIBUTES lpTimerAttributes,
                                     LPCWSTR lpTimerName, DWORD dwFlags, DWORD dwDesiredAccess)
{
    (void)lpTimerAttributes;
    (void)dwDesiredAccess;
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::CallFails(FN_CREATE_WAITABLE_TIMER)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    bool highResolution = (dwFlags & CREATE_WAITABLE_TIMER_HIGH_RESOLUTION) != 0;
    if ((dwFlags & ~kTimerFlags) || lpTimerName ||
        (highResolution && g_support != TimerSupport::HighResolution)) {
        SetLastError(lpTimerName ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
        return NULL;
    }
    HANDLE handle = internal::OpenKernelHandle();
    Timer &timer = g_timers[(uintptr_t)handle];
    timer.highResolution = highResolution;
    timer.manualReset = (dwFlags & CREATE_WAITABLE_TIMER_MANUAL_RESET) != 0;
    return handle;
}

// Sets a one-shot relative due time; absolute due times, periods and completion routines are
// not stood in for and fail with ERROR_NOT_SUPPORTED.
BOOL WINAPI SetWaitableTimer(HANDLE hTimer, const LARGE_INTEGER *lpDueTime, LONG lPeriod,
                             PTIMERAPCROUTINE pfnCompletionRoutine,
                             LPVOID lpArgToCompletionRoutine, BOOL fResume)
{
    (void)lpArgToCompletionRoutine;
    (void)fResume;
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::CallFails(FN_SET_WAITABLE_TIMER)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    auto found = g_timers.find((uintptr_t)hTimer);
    if (found == g_timers.end() || !lpDueTime) {
        SetLastError(found == g_timers.end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpDueTime->QuadPart > 0 || lPeriod != 0 || pfnCompletionRoutine) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    Timer &timer = found->second;
    uint64_t units = (uint64_t)-lpDueTime->QuadPart;
    uint64_t lengthUs = (units + kCounterUnitsPerUs - 1) / kCounterUnitsPerUs;
    timer.endUs = internal::WaitEndUs(lengthUs, !timer.highResolution);
    timer.ms = (DWORD)((units + kTimerUnitsPerMs - 1) / kTimerUnitsPerMs);
    timer.set = true;
    return TRUE;
}

// Waits on a timer: returns WAIT_OBJECT_0 once it has signalled. An unset timer never
// signals; rather than block forever, an infinite wait on one fails. Waits on mutexes are
// the named-mutex stand-in's.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    uint64_t end;
    DWORD result;
    bool mutex;
    {
        std::lock_guard<std::recursive_mutex> guard(internal::Lock());
        if (internal::CallFails(FN_WAIT_FOR_SINGLE_OBJECT)) {
            SetLastError(ERROR_GEN_FAILURE);
            return WAIT_FAILED;
        }
        mutex = internal::IsMutexHandle(hHandle);
    }
    if (mutex)
        return internal::WaitForMutex(hHandle, dwMilliseconds);
    {
        std::lock_guard<std::recursive_mutex> guard(internal::Lock());
        auto found = g_timers.find((uintptr_t)hHandle);
        if (found == g_timers.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        Timer &timer = found->second;
        DWORD ms;
        if (timer.set) {
            // A synchronization timer resets when a wait on it ends.
            timer.set = timer.manualReset;
            end = timer.endUs;
            ms = timer.ms;
            result = WAIT_OBJECT_0;
        } else if (dwMilliseconds == INFINITE) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        } else {
            end = internal::WaitEndUs((uint64_t)dwMilliseconds * kUsPerMs, false);
            ms = dwMilliseconds;
            result = WAIT_TIMEOUT;
        }
        if (internal::VirtualWait(end, ms, WaitKind::Timer))
            return result;
    }
    internal::RealWaitUntil(end);
    return result;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::CallFails(FN_QUERY_PERFORMANCE_COUNTER)) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = (LONGLONG)internal::NowHundredsOfNs();
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::CallFails(FN_QUERY_PERFORMANCE_FREQUENCY)) {
        lpFrequency->QuadPart = 0;
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    lpFrequency->QuadPart = kCounterFrequency;
    return TRUE;
}

} // extern "C"
