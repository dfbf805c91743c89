// Temperature status with hysteresis, remembered in the registry between calls. The states
// stored in "Previous State" are the statuses reported (KOVALTHERM_STATUS_*); the margins
// below the stored limits at which they change are the cache layout's (STATUS_*_MARGIN).
#ifndef KOVALTHERM_STATUS_H
#define KOVALTHERM_STATUS_H

#include "base/cache_layout.h"

// A reading above it leaves the state as it was.
enum { PLAUSIBLE_TEMPERATURE_MAX = 100 };

#endif
