// Validation and failure policy shared by the exported sensor queries.
//
// Return conventions: the validation returns TRUE or FALSE; the failure policy returns the
// export's result it is given.
#ifndef KOVALTHERM_QUERIES_H
#define KOVALTHERM_QUERIES_H

#include "base/diagnostics.h"

// Returns TRUE if the machine is supported and 0 <= ordinal < the stored count, else FALSE
// with the phase in `*report`. A count that cannot be read forces a rebuild of the cache.
BOOL IsValidSensor(int ordinal, CallReport *report);

// Rebuilds the cache (always when `force`) and notes a rebuild that ran in `*report`.
void RefreshCache(int force, CallReport *report);

// Notes the phase in which the call fails, forces a rebuild so that the next call finds a
// repaired cache, and returns `result`.
int FailAndRebuild(int phase, int result, CallReport *report);

#endif
