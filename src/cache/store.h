// The sensor configuration cache in the registry (layout: base/cache_layout.h), and the
// mapping from sensor ordinal to physical sensor index. Nothing is kept in memory: every
// operation opens, uses and closes its keys, but for a sensor key the mapping leaves open.
//
// Return conventions: readers return the value read, or READ_FAILED (or the `failed` value
// they are given) when the read fails; writers return TRUE if written, FALSE on failure.
// Each operation notes in `*outcome` (null: not wanted) the first read and the first write
// that failed, and the last key it could not create.
#ifndef KOVALTHERM_STORE_H
#define KOVALTHERM_STORE_H

#include "base/cache_layout.h"
#include "base/outcomes.h"

enum {
    KEY_PATH_BUFFER_SIZE = 512,
    READ_FAILED = -1,
};

// A sensor's key as the mapping found it, open for reading.
struct SensorKey {
    HKEY key;
    int index; // physical index
};

// Sets a REG_DWORD value on an open key.
BOOL WriteDwordValue(HKEY key, LPCSTR name, int value, CacheOutcome *outcome);

// Sets "Is present" in the sensor key under the open Thermal key, creating the key.
BOOL WriteSensorPresent(HKEY thermalKey, int index, int flag, CacheOutcome *outcome);

// Sets "Number of sensors" on the open Thermal key.
BOOL WriteSensorCount(HKEY thermalKey, int count, CacheOutcome *outcome);

// Returns TRUE if cache key `key` (CACHE_THERMAL_KEY or a sensor index) exists.
BOOL CacheKeyExists(int key);

// Returns the stored "Number of sensors".
int ReadSensorCount(CacheOutcome *outcome);

// Returns the physical index of the sensor with this ordinal, leaving its key open in
// `*sensor` for the caller to close; READ_FAILED, with no key open, when none maps.
int OpenMappedSensor(int ordinal, SensorKey *sensor, CacheOutcome *outcome);

// Returns the named value of a mapped sensor's key, or `failed`.
int ReadSensorKeyValue(const SensorKey *sensor, LPCSTR name, int failed, CacheOutcome *outcome);

// Closes a mapped sensor's key.
void CloseSensorKey(const SensorKey *sensor);

// Returns the physical index of the sensor with this ordinal.
int OrdinalToIndex(int ordinal, CacheOutcome *outcome);

// Returns the named value of the sensor with this ordinal.
int ReadSensorValue(int ordinal, LPCSTR name, CacheOutcome *outcome);

// Stores "Previous State" in the key of physical sensor `index`, if the key opens.
void WriteIndexState(int index, int state, CacheOutcome *outcome);

// Stores the sensor's "Previous State"; does nothing if the ordinal does not map.
void WritePreviousState(int ordinal, int state, CacheOutcome *outcome);

#endif
