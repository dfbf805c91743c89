// Named mutexes shared by every process on the machine.
#include "hw/machine_mutex.h"

// Built by hand rather than with ADVAPI32's security functions, which Windows 95 lacks.
alignas(4) const BYTE MACHINE_MUTEX_DESCRIPTOR[MACHINE_MUTEX_DESCRIPTOR_SIZE] = {
    // Header: revision 1, control SE_SELF_RELATIVE | SE_DACL_PRESENT, no owner, group or
    // SACL, DACL at offset 20.
    0x01, 0x00, 0x04, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00,
    // DACL: revision 2, size 28, one ACE.
    0x02, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x00, 0x00,
    // ACCESS_ALLOWED_ACE, no flags, size 20, mask SYNCHRONIZE | MUTEX_MODIFY_STATE.
    0x00, 0x00, 0x14, 0x00, 0x01, 0x00, 0x10, 0x00,
    // S-1-1-0: revision 1, one subauthority, authority 1, subauthority 0.
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
};

namespace {

// Opens the named mutex with the access every process may have, or creates it; a second
// open covers another process creating it in between.
HANDLE OpenOrCreateMutex(const char *name, LPSECURITY_ATTRIBUTES attributes)
{
    HANDLE mutex = OpenMutexA(MACHINE_MUTEX_ACCESS, FALSE, name);
    if (mutex)
        return mutex;
    mutex = CreateMutexA(attributes, FALSE, name);
    if (mutex)
        return mutex;
    return OpenMutexA(MACHINE_MUTEX_ACCESS, FALSE, name);
}

} // namespace

HANDLE OpenMachineMutex(const char *globalName, const char *localName, BOOL withDescriptor,
                        const char **openedName)
{
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = (LPVOID)MACHINE_MUTEX_DESCRIPTOR;
    attributes.bInheritHandle = FALSE;
    LPSECURITY_ATTRIBUTES used = withDescriptor ? &attributes : NULL;
    *openedName = globalName;
    HANDLE mutex = OpenOrCreateMutex(globalName, used);
    if (!mutex) {
        *openedName = localName;
        mutex = OpenOrCreateMutex(localName, used);
    }
    return mutex;
}

int AcquireMachineMutex(HANDLE mutex, DWORD ms)
{
    if (!mutex)
        return MACHINE_MUTEX_ABSENT;
    DWORD result = WaitForSingleObject(mutex, ms);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
        return MACHINE_MUTEX_HELD;
    return result == WAIT_TIMEOUT ? MACHINE_MUTEX_TIMED_OUT : MACHINE_MUTEX_WAIT_FAILED;
}

BOOL MachineMutexRefused(int wait)
{
    return wait == MACHINE_MUTEX_TIMED_OUT || wait == MACHINE_MUTEX_WAIT_FAILED;
}

LockWait RefusedWait(const char *name, DWORD ms, int wait)
{
    LockWait refused = {name, ms, wait == MACHINE_MUTEX_TIMED_OUT, 0};
    if (!refused.timedOut)
        refused.error = GetLastError();
    return refused;
}

void ReleaseMachineMutex(HANDLE mutex, int wait)
{
    if (wait == MACHINE_MUTEX_HELD)
        ReleaseMutex(mutex);
}

void CloseMachineMutex(HANDLE *mutex)
{
    if (*mutex)
        CloseHandle(*mutex);
    *mutex = NULL;
}
