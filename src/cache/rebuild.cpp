// Rebuilding the registry cache from the firmware.
#include "cache/rebuild.h"

#include "cache/store.h"
#include "hw/firmware.h"

namespace {

// Returns 1 if the first sensor key exists: the cache counts as present.
int CacheLooksPresent(void)
{
    char path[KEY_PATH_BUFFER_SIZE];
    wsprintfA(path, SENSOR_PATH_FORMAT, THERMAL_KEY_PATH, 0);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | CACHE_REGISTRY_VIEW, &key) !=
        ERROR_SUCCESS)
        return 0;
    RegCloseKey(key);
    return 1;
}

// Writes every sensor key from the firmware's answer and then the count; stops, leaving the
// count unwritten, when a presence flag cannot be written.
void WriteSensors(HKEY thermalKey, const RegisterImage *info)
{
    int count = 0;
    int ordinal = -1;
    for (int index = 0; index < PHYSICAL_SENSOR_COUNT; ++index) {
        int present = (info->esi >> index) & 1;
        if (!WriteSensorPresent(thermalKey, index, present))
            return;
        if (present) {
            ++count;
            ++ordinal;
            WriteSensorLimits(index, thermalKey);
            WritePreviousState(ordinal, 0);
        }
    }
    WriteSensorCount(thermalKey, count);
}

} // namespace

void RefreshSensorCache(int force)
{
    if (CacheLooksPresent() && !force)
        return;
    HKEY thermalKey;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, THERMAL_KEY_PATH, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE | CACHE_REGISTRY_VIEW, NULL, &thermalKey,
                        NULL) != ERROR_SUCCESS)
        return;
    RegisterImage info = {0, 0, 0, 0, 0, 0};
    if (QuerySensorInfo(&info) == 0 && (info.ecx & FW_INFO_AVAILABLE))
        WriteSensors(thermalKey, &info);
    RegCloseKey(thermalKey);
}

void WriteSensorLimits(int index, HKEY thermalKey)
{
    RegisterImage image = {0, 0, 0, 0, 0, 0};
    if (QuerySensorLimits((char)('A' + index), &image) != 0)
        return;
    char name[KEY_PATH_BUFFER_SIZE];
    wsprintfA(name, SENSOR_KEY_FORMAT, index);
    HKEY key;
    if (RegOpenKeyExA(thermalKey, name, 0, KEY_ALL_ACCESS | CACHE_REGISTRY_VIEW, &key) !=
        ERROR_SUCCESS)
        return;
    LimitSet limits = DecodeLimits(&image);
    WriteDwordValue(key, VALUE_WARNING_NORMAL, limits.warningNormal);
    WriteDwordValue(key, VALUE_WARNING_HIGH, limits.warningHigh);
    WriteDwordValue(key, VALUE_CRITICAL_NORMAL, limits.criticalNormal);
    WriteDwordValue(key, VALUE_CRITICAL_HIGH, limits.criticalHigh);
    RegCloseKey(key);
}
