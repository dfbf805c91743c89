// The process-wide lock around the exports.
#include "frame/library_lock.h"

#include "platform/win32_api.h"

namespace {

CRITICAL_SECTION g_libraryLock;
int g_libraryLockReady;

// Enters the lock, if there is one.
void EnterLibrary(void)
{
    if (g_libraryLockReady)
        EnterCriticalSection(&g_libraryLock);
}

// Leaves the lock, if there is one.
void LeaveLibrary(void)
{
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
    if (!g_libraryLockReady)
        return;
    g_libraryLockReady = 0;
    DeleteCriticalSection(&g_libraryLock);
}

int RunSerialised(int (*body)(int ordinal, int *out), int ordinal, int *out)
{
    if (!out)
        return 0;
    EnterLibrary();
    int result = body(ordinal, out);
    LeaveLibrary();
    return result;
}

int RunSerialised(int (*body)(void))
{
    EnterLibrary();
    int result = body();
    LeaveLibrary();
    return result;
}
