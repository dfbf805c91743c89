// The process-wide lock around the exports, and the machine-wide mutex waited for under it.
#include "frame/library_lock.h"

#include "hw/driver.h"
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

int RunSerialised(ExportBody body, int ordinal, int *out, const LockedOutAnswer &lockedOut)
{
    if (!out)
        return 0;
    int wait = EnterLibrary();
    CallReport report = CallReport();
    report.exportOrdinal = lockedOut.exportOrdinal;
    report.sensor = ordinal;
    int result;
    if (MachineMutexRefused(wait)) {
        report.phase = PHASE_LOCKED_OUT;
        report.libraryWait = RefusedWait(g_thermalMutexName, THERMAL_MUTEX_WAIT_MS, wait);
        *out = lockedOut.out;
        result = lockedOut.result;
    } else {
        TakeRequestFailures();
        result = body(ordinal, out, &report);
        report.requests = TakeRequestFailures();
    }
    WriteReport(&report);
    LeaveLibrary(wait);
    return result;
}
