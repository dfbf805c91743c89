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
// OpenMachineMutex. Where no mutex can be opened at all, the exports run under the process's
// lock alone.
void OpenThermalMutex(BOOL withDescriptor);

// What an export answers when the machine-wide mutex does not come within
// THERMAL_MUTEX_WAIT_MS, or the wait fails: its result and out-value, a failure its callers
// already handle; and its ordinal in the export table, for the diagnostics.
struct LockedOutAnswer {
    int traceExport;
    int result;
    int out;
};

// Runs an export's body under the locks: returns 0 at once, touching nothing, when `out` is
// null; otherwise what `body(ordinal, out)` returns. Without the machine-wide mutex the body
// does not run: the call answers `lockedOut`, touching neither the controller nor the
// registry.
int RunSerialised(int (*body)(int ordinal, int *out), int ordinal, int *out,
                  const LockedOutAnswer &lockedOut);

// Runs a body without arguments under the locks, as above, and returns its result.
int RunSerialised(int (*body)(void), const LockedOutAnswer &lockedOut);

#endif
