// The process-wide lock around the exports, and the machine-wide mutex waited for under it.
#include "frame/library_lock.h"

#include "hw/machine_mutex.h"

namespace {

CRITICAL_SECTION g_libraryLock;
int g_libraryLockReady;
HANDLE g_thermalMutex;

// Enters the process's lock, if there is one, then waits for the machine-wide mutex;
// returns TRUE if the mutex was acquired and must be released.
BOOL EnterLibrary(void)
{
    if (g_libraryLockReady)
        EnterCriticalSection(&g_libraryLock);
    return AcquireMachineMutex(g_thermalMutex, THERMAL_MUTEX_WAIT_MS);
}

// Releases the machine-wide mutex if EnterLibrary acquired it, then leaves the process's lock.
void LeaveLibrary(BOOL mutexHeld)
{
    if (mutexHeld)
        ReleaseMachineMutex(g_thermalMutex);
    if (g_libraryLockReady)
        LeaveCriticalSection(&g_libraryLock);
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
    g_thermalMutex =
        OpenMachineMutex(THERMAL_MUTEX_GLOBAL_NAME, THERMAL_MUTEX_LOCAL_NAME, withDescriptor);
}

int RunSerialised(int (*body)(int ordinal, int *out), int ordinal, int *out)
{
    if (!out)
        return 0;
    BOOL held = EnterLibrary();
    int result = body(ordinal, out);
    LeaveLibrary(held);
    return result;
}

int RunSerialised(int (*body)(void))
{
    BOOL held = EnterLibrary();
    int result = body();
    LeaveLibrary(held);
    return result;
}
