// Rebuilding the registry cache from the firmware.
//
// Return conventions: the rebuild returns how it ended, in a RebuildOutcome.
#ifndef KOVALTHERM_REBUILD_H
#define KOVALTHERM_REBUILD_H

#include "base/outcomes.h"

enum { REFRESH_IF_ABSENT = 0, REFRESH_FORCE = 1 };

// Rebuilds the cache from the firmware: always when `force` is nonzero, otherwise only
// when there is no "Sensor 0" key (REBUILD_NOT_RUN otherwise). Every key opened is closed.
RebuildOutcome RefreshSensorCache(int force);

#endif
