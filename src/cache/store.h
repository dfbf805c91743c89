// The sensor configuration cache in the registry, and the mapping from sensor ordinal to
// physical sensor index. Nothing is kept in memory: every operation opens, uses and closes.
#ifndef KOVALTHERM_STORE_H
#define KOVALTHERM_STORE_H

#include "platform/win32_api.h"

// The cache's root under HKEY_LOCAL_MACHINE.
#define THERMAL_KEY_PATH "SOFTWARE\\Norvane\\QuenlarFeatures\\Thermal"

// Sensor keys: relative to the open Thermal key, and relative to HKEY_LOCAL_MACHINE.
#define SENSOR_KEY_FORMAT "Sensor %d"
#define SENSOR_PATH_FORMAT "%s\\Sensor %d"

// Value names.
#define VALUE_SENSOR_COUNT "Number of sensors"
#define VALUE_IS_PRESENT "Is present"
#define VALUE_WARNING_NORMAL "Warning Normal"
#define VALUE_WARNING_HIGH "Warning High"
#define VALUE_CRITICAL_NORMAL "Critical Normal"
#define VALUE_CRITICAL_HIGH "Critical High"
#define VALUE_PREVIOUS_STATE "Previous State"

enum {
    KEY_PATH_BUFFER_SIZE = 512,
    PHYSICAL_SENSOR_COUNT = 8, // indices 0..7 the rebuild writes
    MAPPED_INDEX_LIMIT = 9,    // the mapping also looks at index 8
    READ_FAILED = -1,          // what a read below, or the mapping, returns when it fails
};

// Sets a REG_DWORD value on an open key; returns 1 if written, 0 on failure.
int WriteDwordValue(HKEY key, LPCSTR name, int value);

// Sets "Is present" in the sensor key under the open Thermal key, creating the key;
// returns 1 if written, 0 on failure.
int WriteSensorPresent(HKEY thermalKey, int index, int flag);

// Returns the sensor's "Is present" value, or -1.
int ReadSensorPresent(int index);

// Sets "Number of sensors" on the open Thermal key; returns 1 if written, 0 on failure.
int WriteSensorCount(HKEY thermalKey, int count);

// Returns the stored "Number of sensors", or -1.
int ReadSensorCount(void);

// Returns the physical index of the sensor with this ordinal, or -1.
int OrdinalToIndex(int ordinal);

// Returns the named value of the sensor with this ordinal, or -1.
int ReadSensorValue(int ordinal, LPCSTR name);

// Returns the sensor's "Previous State", or 0.
int ReadPreviousState(int ordinal);

// Stores the sensor's "Previous State"; does nothing if the ordinal does not map.
void WritePreviousState(int ordinal, int state);

#endif
