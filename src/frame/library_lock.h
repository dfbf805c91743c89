// One process-wide lock that serialises the exports: the controller exchange and the
// registry sequences must not interleave between threads.
#ifndef KOVALTHERM_LIBRARY_LOCK_H
#define KOVALTHERM_LIBRARY_LOCK_H

// Creates the lock (at attach, under the loader's serialisation).
void CreateLibraryLock(void);

// Deletes the lock if it was created (at detach).
void DeleteLibraryLock(void);

// Runs an export's body under the lock: returns 0 at once, touching nothing, when `out` is
// null; otherwise returns what `body(ordinal, out)` returns.
int RunSerialised(int (*body)(int ordinal, int *out), int ordinal, int *out);

// Runs a body without arguments under the lock and returns its result.
int RunSerialised(int (*body)(void));

#endif
