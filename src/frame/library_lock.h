// The locks that serialise the exports: the controller exchange and the registry sequences
// must not interleave between threads, nor between processes, which share the controller and
// the registry cache. A critical section orders the process's threads; the machine-wide
// mutex, waited for under it, orders the processes.
#ifndef KOVALTHERM_LIBRARY_LOCK_H
#define KOVALTHERM_LIBRARY_LOCK_H

#include "platform/win32_api.h"

// Creates the lock (at attach, under the loader's serialisation).
void CreateLibraryLock(void);

// Deletes the lock if it was created (at detach), and closes the machine-wide mutex.
void DeleteLibraryLock(void);

// Opens or creates the machine-wide mutex (at attach, as on a fresh load); `withDescriptor` as for
// OpenMachineMutex. Without it the exports run under the process's lock alone.
void OpenThermalMutex(BOOL withDescriptor);

// Runs an export's body under the locks (the machine-wide one only when it comes within
// THERMAL_MUTEX_WAIT_MS; otherwise the body runs under the process's lock alone): returns 0 at once, touching nothing, when `out` is
// null; otherwise returns what `body(ordinal, out)` returns.
int RunSerialised(int (*body)(int ordinal, int *out), int ordinal, int *out);

// Runs a body without arguments under the locks, as above, and returns its result.
int RunSerialised(int (*body)(void));

#endif
