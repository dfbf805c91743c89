/* The registry cache's layout under HKEY_LOCAL_MACHINE: the Thermal key, one key per
 * physical sensor, and their values, all REG_DWORD; and how a sensor's stored limits set its
 * status. Shared by the library and the tools that show, draw or reset the cache; plain C,
 * with nothing of the library's own. */
#ifndef KOVALTHERM_CACHE_LAYOUT_H
#define KOVALTHERM_CACHE_LAYOUT_H

/* The Thermal key, root of the cache. */
#define THERMAL_KEY_PATH "SOFTWARE\\Norvane\\QuenlarFeatures\\Thermal"

/* The registry view added to every access mask of the cache's keys (with windows.h or the
 * stand-in's declarations). A 64-bit process opens HKLM\SOFTWARE in the 32-bit view, where a
 * 32-bit process's view is redirected (WOW6432Node), so that both builds share one cache.
 * The 32-bit build adds nothing: its view is that one already, and Windows before XP does
 * not know the flag. The host stand-in has one view and accepts the flag, as x64 has it. */
#if defined(_WIN32) && !defined(_WIN64)
#define CACHE_REGISTRY_VIEW 0
#else
#define CACHE_REGISTRY_VIEW KEY_WOW64_32KEY
#endif

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

/* Margins below the stored limits at which the status changes: past "Warning High" less the
 * first, a sensor warns (or, after a warning, is critical); at "Critical High" less the
 * second it is critical at once. */
enum {
    STATUS_WARNING_MARGIN = 2,
    STATUS_CRITICAL_MARGIN = 1
};

#endif
