// Named mutexes shared by every process on the machine: the library's own lock around the
// exports, and the lock hardware-monitoring programs agree on around the embedded controller.
//
// Return conventions: the open returns a handle, or null; a wait returns a
// MachineMutexWait; the test of a wait returns TRUE or FALSE; a refused wait is described
// in a LockWait.
#ifndef KOVALTHERM_MACHINE_MUTEX_H
#define KOVALTHERM_MACHINE_MUTEX_H

#include "base/outcomes.h"

// The library's lock: its name in the Global namespace, and without it where that namespace
// is refused (before Windows 2000, or without the privilege).
#define THERMAL_MUTEX_GLOBAL_NAME "Global\\Kovaltherm.Thermal"
#define THERMAL_MUTEX_LOCAL_NAME "Kovaltherm.Thermal"
// The embedded controller's lock, by the name other programs use.
#define CONTROLLER_MUTEX_GLOBAL_NAME "Global\\Access_EC"
#define CONTROLLER_MUTEX_LOCAL_NAME "Access_EC"

enum : DWORD {
    // What a process other than the creator may do with the mutexes: wait and release.
    MACHINE_MUTEX_ACCESS = SYNCHRONIZE | MUTEX_MODIFY_STATE,
    // Longest wait for the library's lock. An export holds it for at most 3,997 ms of the
    // exchange's own waits (a controller busy after every answer), so the last of 8 callers
    // queued behind a stuck controller waits for at most 7 x 3,997 = 27,979 ms; the rest
    // leaves each call ahead about 1.7 s for its driver requests, the rebuild its failure
    // forces and a loaded system, so that such a queue never times out.
    THERMAL_MUTEX_WAIT_MS = 40000,
    // Longest wait for the controller's lock, per block exchange: past this library's own
    // longest exchange, 20 attempts x (8 x 2 + 50) ms = 1,320 ms, so that a program holding
    // it for a whole exchange of its own is waited out. The library's callers never queue
    // here: they hold the library's lock first.
    CONTROLLER_MUTEX_WAIT_MS = 2000,
    // Size of the security descriptor the mutexes are created with.
    MACHINE_MUTEX_DESCRIPTOR_SIZE = 48,
};

// Self-relative security descriptor: no owner, group or SACL; a DACL with one ACE that
// allows Everyone (S-1-1-0) SYNCHRONIZE and MUTEX_MODIFY_STATE.
extern const BYTE MACHINE_MUTEX_DESCRIPTOR[MACHINE_MUTEX_DESCRIPTOR_SIZE];

// What a wait for a machine-wide mutex came to.
enum MachineMutexWait {
    MACHINE_MUTEX_HELD,        // the caller holds it (also when a holder that died abandoned it)
    MACHINE_MUTEX_ABSENT,      // no mutex could be opened: nothing was waited for or is held
    MACHINE_MUTEX_TIMED_OUT,   // another holder kept it for the whole wait
    MACHINE_MUTEX_WAIT_FAILED, // the wait itself failed; GetLastError tells why
};

// Opens the mutex by its Global name, or creates it there; failing both, the same by its
// local name. `withDescriptor` creates it with MACHINE_MUTEX_DESCRIPTOR (NT family only).
// Returns null when neither name gives a handle; `*openedName` is the name that gave it.
HANDLE OpenMachineMutex(const char *globalName, const char *localName, BOOL withDescriptor,
                        const char **openedName);

// Waits at most `ms` for the mutex; returns a MachineMutexWait.
int AcquireMachineMutex(HANDLE mutex, DWORD ms);

// Returns TRUE for a wait that left the caller without a mutex that exists: what it guards
// must not run.
BOOL MachineMutexRefused(int wait);

// Describes a refused wait for the mutex named `name`, bounded by `ms`; called at once after
// the wait, while its last error is still there.
LockWait RefusedWait(const char *name, DWORD ms, int wait);

// Releases the mutex if the wait `wait` left the caller holding it.
void ReleaseMachineMutex(HANDLE mutex, int wait);

// Closes the mutex's handle, if there is one, and clears it.
void CloseMachineMutex(HANDLE *mutex);

#endif
