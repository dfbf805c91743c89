// Named mutexes shared by every process on the machine: the library's own lock around the
// exports, and the lock hardware-monitoring programs agree on around the embedded controller.
#ifndef KOVALTHERM_MACHINE_MUTEX_H
#define KOVALTHERM_MACHINE_MUTEX_H

#include "platform/win32_api.h"

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
    // Longest wait for the library's lock: past one export's worst case of 3,997 ms.
    THERMAL_MUTEX_WAIT_MS = 5000,
    // Longest wait for the controller's lock, per block exchange.
    CONTROLLER_MUTEX_WAIT_MS = 500,
    // Size of the security descriptor the mutexes are created with.
    MACHINE_MUTEX_DESCRIPTOR_SIZE = 48,
};

// Self-relative security descriptor: no owner, group or SACL; a DACL with one ACE that
// allows Everyone (S-1-1-0) SYNCHRONIZE and MUTEX_MODIFY_STATE.
extern const BYTE MACHINE_MUTEX_DESCRIPTOR[MACHINE_MUTEX_DESCRIPTOR_SIZE];

// Opens the mutex by its Global name, or creates it there; failing both, the same by its
// local name. `withDescriptor` creates it with MACHINE_MUTEX_DESCRIPTOR (NT family only).
// Returns null when neither name gives a handle.
HANDLE OpenMachineMutex(const char *globalName, const char *localName, BOOL withDescriptor);

// Waits at most `ms` for the mutex; returns TRUE if the caller now holds it (a wait
// abandoned by a holder that died counts), FALSE on a null handle, a timeout or a failure.
BOOL AcquireMachineMutex(HANDLE mutex, DWORD ms);

// Releases a mutex that AcquireMachineMutex gave the caller.
void ReleaseMachineMutex(HANDLE mutex);

// Closes the mutex's handle, if there is one, and clears it.
void CloseMachineMutex(HANDLE *mutex);

#endif
