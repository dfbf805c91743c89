// Waits of the controller exchange. A plain Sleep lasts at least one scheduler tick (15.6 ms
// on a stock system), which would make each 2 ms pause of a block read cost 15.6 ms; where the
// system offers a high-resolution waitable timer, the wait uses that instead. Elsewhere the
// system timer resolution is raised to 1 ms for the duration of each block read, so that
// Sleep wakes within a millisecond. The timer and resolution functions are looked up at run
// time so that the import table still loads on systems that lack them (Windows 95 has no
// waitable timers; high resolution needs Windows 10 1803), and winmm.dll is loaded on first
// use, never while the loader runs the entry point.
#include "hw/wait.h"

namespace {

typedef HANDLE(WINAPI *CreateWaitableTimerExWFunction)(LPSECURITY_ATTRIBUTES attributes,
                                                       LPCWSTR name, DWORD flags,
                                                       DWORD access);
typedef BOOL(WINAPI *SetWaitableTimerFunction)(HANDLE timer, const LARGE_INTEGER *dueTime,
                                               LONG period, PTIMERAPCROUTINE completion,
                                               LPVOID completionArgument, BOOL resume);
typedef UINT(WINAPI *TimePeriodFunction)(UINT period);

const char KERNEL_MODULE[] = "kernel32.dll";
const char CREATE_TIMER_NAME[] = "CreateWaitableTimerExW";
const char SET_TIMER_NAME[] = "SetWaitableTimer";
const char MULTIMEDIA_MODULE[] = "winmm.dll";
const char BEGIN_PERIOD_NAME[] = "timeBeginPeriod";
const char END_PERIOD_NAME[] = "timeEndPeriod";

// The system timer resolution asked for during a block read, in ms: the finest Windows gives.
const UINT RAISED_TIMER_PERIOD_MS = 1;

// Due times of waitable timers count 100 ns units; a negative due time is relative.
const LONGLONG TIMER_UNITS_PER_MS = 10000;
const LONGLONG MS_PER_SECOND = 1000;

enum LookupState { LOOKUP_NOT_TRIED, LOOKUP_READY, LOOKUP_UNAVAILABLE };

// Created or looked up on first use, forgotten at detach; the library lock serialises both.
LookupState g_timerState;
HANDLE g_timer;
SetWaitableTimerFunction g_setTimer;
LookupState g_periodState;
TimePeriodFunction g_beginPeriod;
TimePeriodFunction g_endPeriod;
BOOL g_periodRaised;

// Looks up the timer functions and creates one high-resolution timer; TRUE on success.
BOOL CreateWaitTimer(void)
{
    HMODULE kernel = GetModuleHandleA(KERNEL_MODULE);
    if (!kernel)
        return FALSE;
    // Through void (*)(void), the one function pointer type that converts without a warning.
    CreateWaitableTimerExWFunction createTimer =
        (CreateWaitableTimerExWFunction)(void (*)(void))GetProcAddress(kernel, CREATE_TIMER_NAME);
    SetWaitableTimerFunction setTimer =
        (SetWaitableTimerFunction)(void (*)(void))GetProcAddress(kernel, SET_TIMER_NAME);
    if (!createTimer || !setTimer)
        return FALSE;
    HANDLE timer =
        createTimer(NULL, NULL, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!timer)
        return FALSE;
    g_timer = timer;
    g_setTimer = setTimer;
    return TRUE;
}

// Creates the timer on first use; TRUE if the high-resolution timer is there.
BOOL HaveWaitTimer(void)
{
    if (g_timerState == LOOKUP_NOT_TRIED)
        g_timerState = CreateWaitTimer() ? LOOKUP_READY : LOOKUP_UNAVAILABLE;
    return g_timerState == LOOKUP_READY;
}

// Loads winmm.dll and looks up the resolution functions; TRUE on success. The module
// stays loaded until the process ends, as unloading it from the entry point is not allowed.
BOOL LoadPeriodFunctions(void)
{
    HMODULE multimedia = LoadLibraryA(MULTIMEDIA_MODULE);
    if (!multimedia)
        return FALSE;
    TimePeriodFunction begin =
        (TimePeriodFunction)(void (*)(void))GetProcAddress(multimedia, BEGIN_PERIOD_NAME);
    TimePeriodFunction end =
        (TimePeriodFunction)(void (*)(void))GetProcAddress(multimedia, END_PERIOD_NAME);
    if (!begin || !end)
        return FALSE;
    g_beginPeriod = begin;
    g_endPeriod = end;
    return TRUE;
}

// Waits `ms` on the high-resolution timer; FALSE if the timer could not be used.
BOOL WaitOnTimer(DWORD ms)
{
    if (!HaveWaitTimer())
        return FALSE;
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)ms * TIMER_UNITS_PER_MS;
    if (!g_setTimer(g_timer, &due, 0, NULL, NULL, FALSE))
        return FALSE;
    return WaitForSingleObject(g_timer, INFINITE) == WAIT_OBJECT_0;
}

// Waits `ms` once, on the timer or else with Sleep.
void WaitOnce(DWORD ms)
{
    if (!WaitOnTimer(ms))
        Sleep(ms);
}

// Performance counter units from `start` to now; -1 if it cannot tell.
LONGLONG ElapsedCounts(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now;
    if (!QueryPerformanceCounter(&now) || now.QuadPart < start.QuadPart)
        return -1;
    return now.QuadPart - start.QuadPart;
}

} // namespace

void WaitMilliseconds(DWORD ms)
{
    // Sleep may return up to a tick early when the wait is shorter than the tick, so the
    // elapsed time is checked and any shortfall waited out.
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    int timed = QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0 &&
                QueryPerformanceCounter(&start);
    WaitOnce(ms);
    if (!timed)
        return;
    // Counter units of the whole wait, rounded up so that reaching them is never early.
    LONGLONG due = ((LONGLONG)ms * frequency.QuadPart + MS_PER_SECOND - 1) / MS_PER_SECOND;
    for (;;) {
        LONGLONG elapsed = ElapsedCounts(start);
        if (elapsed < 0 || elapsed >= due)
            return;
        LONGLONG restMs = ((due - elapsed) * MS_PER_SECOND + frequency.QuadPart - 1) /
                          frequency.QuadPart;
        // With the raised resolution Sleep wakes on a 1 ms tick counted from the last one, so
        // it ends early by however far into the tick it began, which is also the least a
        // second Sleep would overshoot by. A shortfall under a tick is cheaper polled away;
        // the poll goes one count past the due time, as the start's reading may be up to a
        // count behind the true start.
        if (g_periodRaised && restMs <= (LONGLONG)RAISED_TIMER_PERIOD_MS) {
            while (elapsed >= 0 && elapsed <= due)
                elapsed = ElapsedCounts(start);
            return;
        }
        WaitOnce((DWORD)restMs);
    }
}

void RaiseTimerResolution(void)
{
    if (g_periodRaised || HaveWaitTimer())
        return;
    if (g_periodState == LOOKUP_NOT_TRIED)
        g_periodState = LoadPeriodFunctions() ? LOOKUP_READY : LOOKUP_UNAVAILABLE;
    if (g_periodState == LOOKUP_READY)
        g_periodRaised = g_beginPeriod(RAISED_TIMER_PERIOD_MS) == TIMERR_NOERROR;
}

void RestoreTimerResolution(void)
{
    // Only a begin that succeeded is matched. An end that fails is not repeated:
    // timeEndPeriod fails only when it finds no request of its own to undo.
    if (!g_periodRaised)
        return;
    g_endPeriod(RAISED_TIMER_PERIOD_MS);
    g_periodRaised = FALSE;
}

void ResetWaitTimer(void)
{
    g_timerState = LOOKUP_NOT_TRIED;
    g_timer = NULL;
    g_setTimer = NULL;
    g_periodState = LOOKUP_NOT_TRIED;
    g_beginPeriod = NULL;
    g_endPeriod = NULL;
    g_periodRaised = FALSE;
}

void CloseWaitTimer(void)
{
    if (g_timerState == LOOKUP_READY)
        CloseHandle(g_timer);
    ResetWaitTimer();
}
