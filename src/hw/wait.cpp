// Waits of the controller exchange. A plain Sleep lasts at least one scheduler tick (15.6 ms
// on a stock system), which would make each 2 ms pause of a block read cost 15.6 ms; where the
// system offers a high-resolution waitable timer, the wait uses that instead. The timer
// functions are looked up at run time so that the import table still loads on systems that
// lack them (Windows 95 has no waitable timers; high resolution needs Windows 10 1803).
#include "hw/wait.h"

namespace {

typedef HANDLE(WINAPI *CreateWaitableTimerExWFunction)(LPSECURITY_ATTRIBUTES attributes,
                                                       LPCWSTR name, DWORD flags,
                                                       DWORD access);
typedef BOOL(WINAPI *SetWaitableTimerFunction)(HANDLE timer, const LARGE_INTEGER *dueTime,
                                               LONG period, PTIMERAPCROUTINE completion,
                                               LPVOID completionArgument, BOOL resume);

const char KERNEL_MODULE[] = "kernel32.dll";
const char CREATE_TIMER_NAME[] = "CreateWaitableTimerExW";
const char SET_TIMER_NAME[] = "SetWaitableTimer";

// Due times of waitable timers count 100 ns units; a negative due time is relative.
const LONGLONG TIMER_UNITS_PER_MS = 10000;
const LONGLONG MS_PER_SECOND = 1000;

enum TimerState { TIMER_NOT_TRIED, TIMER_READY, TIMER_UNAVAILABLE };

// Created on first use, closed at detach; the library lock serialises the creation.
TimerState g_timerState;
HANDLE g_timer;
SetWaitableTimerFunction g_setTimer;

// Looks up the timer functions and creates one high-resolution timer; returns 1 on success.
int CreateWaitTimer(void)
{
    HMODULE kernel = GetModuleHandleA(KERNEL_MODULE);
    if (!kernel)
        return 0;
    // Through void (*)(void), the one function pointer type that converts without a warning.
    CreateWaitableTimerExWFunction createTimer =
        (CreateWaitableTimerExWFunction)(void (*)(void))GetProcAddress(kernel, CREATE_TIMER_NAME);
    SetWaitableTimerFunction setTimer =
        (SetWaitableTimerFunction)(void (*)(void))GetProcAddress(kernel, SET_TIMER_NAME);
    if (!createTimer || !setTimer)
        return 0;
    HANDLE timer =
        createTimer(NULL, NULL, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!timer)
        return 0;
    g_timer = timer;
    g_setTimer = setTimer;
    return 1;
}

// Waits `ms` on the high-resolution timer; returns 0 if the timer could not be used.
int WaitOnTimer(DWORD ms)
{
    if (g_timerState == TIMER_NOT_TRIED)
        g_timerState = CreateWaitTimer() ? TIMER_READY : TIMER_UNAVAILABLE;
    if (g_timerState != TIMER_READY)
        return 0;
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)ms * TIMER_UNITS_PER_MS;
    if (!g_setTimer(g_timer, &due, 0, NULL, NULL, FALSE))
        return 0;
    return WaitForSingleObject(g_timer, INFINITE) == WAIT_OBJECT_0;
}

// Waits `ms` once, on the timer or else with Sleep.
void WaitOnce(DWORD ms)
{
    if (!WaitOnTimer(ms))
        Sleep(ms);
}

// Whole milliseconds from `start` to now by the performance counter; -1 if it cannot tell.
LONGLONG ElapsedMs(const LARGE_INTEGER &start, const LARGE_INTEGER &frequency)
{
    LARGE_INTEGER now;
    if (!QueryPerformanceCounter(&now) || now.QuadPart < start.QuadPart)
        return -1;
    return (now.QuadPart - start.QuadPart) * MS_PER_SECOND / frequency.QuadPart;
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
    while (timed) {
        LONGLONG elapsed = ElapsedMs(start, frequency);
        if (elapsed < 0 || elapsed >= (LONGLONG)ms)
            return;
        WaitOnce((DWORD)((LONGLONG)ms - elapsed));
    }
}

void ResetWaitTimer(void)
{
    g_timerState = TIMER_NOT_TRIED;
    g_timer = NULL;
    g_setTimer = NULL;
}

void CloseWaitTimer(void)
{
    if (g_timerState == TIMER_READY)
        CloseHandle(g_timer);
    ResetWaitTimer();
}
