// The process-wide lock around the exports, and the machine-wide mutex waited for under it.
#include "frame/library_lock.h"

#include "frame/trace.h"
#include "hw/machine_mutex.h"

namespace {

CRITICAL_SECTION g_libraryLock;
int g_libraryLockReady;
HANDLE g_thermalMutex;
const char *g_thermalMutexName;

// Enters the process's lock, if there is one, then waits for the machine-wide mutex;
// returns the wait's MachineMutexWait.
int EnterLibrary(void)
{
    if (g_libraryLockReady)
        EnterCriticalSection(&g_libraryLock);
    return AcquireMachineMutex(g_thermalMutex, THERMAL_MUTEX_WAIT_MS);
}

// Releases the machine-wide mutex if EnterLibrary acquired it, then leaves the process's lock.
void LeaveLibrary(int wait)
{
    ReleaseMachineMutex(g_thermalMutex, wait);
    if (g_libraryLockReady)
        LeaveCriticalSection(&g_libraryLock);
}

// Answers a call that did not get the machine-wide mutex (the wait came to `wait`), with a
// line naming the wait when tracing; `out` may be null.
int LockedOut(const LockedOutAnswer &answer, int ordinal, int *out, int wait)
{
    TraceBegin(answer.traceExport, ordinal);
    TraceLockRefused(TRACE_LIBRARY_LOCK, g_thermalMutexName, THERMAL_MUTEX_WAIT_MS,
                     wait == MACHINE_MUTEX_TIMED_OUT);
    if (out)
        *out = answer.out;
    return TraceEnd(answer.result);
}

} // namespace

void CreateLibraryLock(void)
{
    if (g_libraryLockReady)
        return;
    InitializeCriticalSection(&g_libraryLock);
    g_libraryLockReady = 1;
}

void DeleteLibraryLock(void)
{
    CloseMachineMutex(&g_thermalMutex);
    if (!g_libraryLockReady)
        return;
    g_libraryLockReady = 0;
    DeleteCriticalSection(&g_libraryLock);
}

void OpenThermalMutex(BOOL withDescriptor)
{
    g_thermalMutex = OpenMachineMutex(THERMAL_MUTEX_GLOBAL_NAME, THERMAL_MUTEX_LOCAL_NAME,
                                      withDescriptor, &g_thermalMutexName);
}

int RunSerialised(int (*body)(int ordinal, int *out), int ordinal, int *out,
                  const LockedOutAnswer &lockedOut)
{
    if (!out)
        return 0;
    int wait = EnterLibrary();
    int result = MachineMutexRefused(wait) ? LockedOut(lockedOut, ordinal, out, wait)
                                           : body(ordinal, out);
    LeaveLibrary(wait);
    return result;
}

int RunSerialised(int (*body)(void), const LockedOutAnswer &lockedOut)
{
    int wait = EnterLibrary();
    int result = MachineMutexRefused(wait) ? LockedOut(lockedOut, 0, NULL, wait) : body();
    LeaveLibrary(wait);
    return result;
}
