// Validation shared by the exported sensor queries.
#ifndef KOVALTHERM_QUERIES_H
#define KOVALTHERM_QUERIES_H

// Returns 1 if the machine is supported and 0 <= ordinal < the stored count, else 0. A
// count that cannot be read forces a rebuild of the cache.
int IsValidSensor(int ordinal);

#endif
