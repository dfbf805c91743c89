// The locks that serialise the exports: the controller exchange and the registry sequences
// must not interleave between threads, nor between processes, which share the controller and
// the registry cache. A critical section orders the process's threads; the machine-wide
// mutex, waited for under it, orders the processes.
//
// Return conventions: RunSerialised returns the export's result.
#ifndef KOVALTHERM_LIBRARY_LOCK_H
#define KOVALTHERM_LIBRARY_LOCK_H

#include "base/diagnostics.h"

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
// already handle; and its ordinal in the export table, for its report.
struct LockedOutAnswer {
    int exportOrdinal;
    int result;
    int out;
};

// An export's body: answers through its result and `*out`, and fills `*report`.
typedef int (*ExportBody)(int ordinal, int *out, CallReport *report);

// Runs an export's body under the locks, with a report of the call that the diagnostics get
// at its end: returns 0 at once, touching nothing, when `out` is null; otherwise what `body`
// returns. Without the machine-wide mutex the body does not run: the call answers
// `lockedOut`, touching neither the controller nor the registry.
int RunSerialised(ExportBody body, int ordinal, int *out, const LockedOutAnswer &lockedOut);

#endif
