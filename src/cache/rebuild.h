// Rebuilding the registry cache from the firmware.
#ifndef KOVALTHERM_REBUILD_H
#define KOVALTHERM_REBUILD_H

#include "platform/win32_api.h"

enum { REFRESH_IF_ABSENT = 0, REFRESH_FORCE = 1 };

// Rebuilds the cache from the firmware: always when `force` is nonzero, otherwise only
// when there is no "Sensor 0" key. Failures are silent; every key opened is closed.
void RefreshSensorCache(int force);

// Writes the four limits of physical sensor `index` under the open Thermal key, if the
// firmware gives them.
void WriteSensorLimits(int index, HKEY thermalKey);

#endif
