/* The registry cache's layout under HKEY_LOCAL_MACHINE: the Thermal key, one key per
 * physical sensor, and their values, all REG_DWORD. Shared by the library and the tools
 * that show or reset the cache; plain C. */
#ifndef KOVALTHERM_CACHE_LAYOUT_H
#define KOVALTHERM_CACHE_LAYOUT_H

/* The Thermal key, root of the cache. */
#define THERMAL_KEY_PATH "SOFTWARE\\Norvane\\QuenlarFeatures\\Thermal"

/* A sensor's key by physical index: under the open Thermal key, and under
 * HKEY_LOCAL_MACHINE with the Thermal key's path for %s. */
#define SENSOR_KEY_FORMAT "Sensor %d"
#define SENSOR_PATH_FORMAT "%s\\Sensor %d"

/* The Thermal key's value. */
#define VALUE_SENSOR_COUNT "Number of sensors"

/* Each sensor key's values. */
#define VALUE_IS_PRESENT "Is present"
#define VALUE_WARNING_NORMAL "Warning Normal"
#define VALUE_WARNING_HIGH "Warning High"
#define VALUE_CRITICAL_NORMAL "Critical Normal"
#define VALUE_CRITICAL_HIGH "Critical High"
#define VALUE_PREVIOUS_STATE "Previous State"

enum {
    PHYSICAL_SENSOR_COUNT = 8, /* indices 0..7, the ones the rebuild writes */
    MAPPED_INDEX_LIMIT = 9     /* the ordinal mapping also looks at index 8 */
};

#endif
