// Rebuilding the registry cache from the firmware.
#include "cache/rebuild.h"

#include "cache/store.h"
#include "hw/firmware.h"

namespace {

// Writes the four limits of physical sensor `index` under the open Thermal key, if the
// firmware gives them.
void WriteSensorLimits(int index, HKEY thermalKey, RebuildOutcome *outcome)
{
    RegisterImage image = {0, 0, 0, 0, 0, 0};
    WORD result = QuerySensorLimits((char)('A' + index), &image);
    if (result != FW_OK) {
        if (!outcome->limitsMissing) {
            outcome->limitsMissing = 1;
            outcome->limitsIndex = index;
            outcome->limitsResult = result;
        }
        return;
    }
    char name[KEY_PATH_BUFFER_SIZE];
    wsprintfA(name, SENSOR_KEY_FORMAT, index);
    HKEY key;
    if (RegOpenKeyExA(thermalKey, name, 0, KEY_ALL_ACCESS | CACHE_REGISTRY_VIEW, &key) !=
        ERROR_SUCCESS)
        return;
    LimitSet limits = DecodeLimits(&image);
    WriteDwordValue(key, VALUE_WARNING_NORMAL, limits.warningNormal, &outcome->cache);
    WriteDwordValue(key, VALUE_WARNING_HIGH, limits.warningHigh, &outcome->cache);
    WriteDwordValue(key, VALUE_CRITICAL_NORMAL, limits.criticalNormal, &outcome->cache);
    WriteDwordValue(key, VALUE_CRITICAL_HIGH, limits.criticalHigh, &outcome->cache);
    RegCloseKey(key);
}

// Writes every sensor key from the firmware's answer and then the count; stops, leaving the
// count unwritten, when a presence flag cannot be written. Returns how it ended.
int WriteSensors(HKEY thermalKey, const RegisterImage *info, RebuildOutcome *outcome)
{
    int count = 0;
    for (int index = 0; index < PHYSICAL_SENSOR_COUNT; ++index) {
        int present = (info->esi >> index) & 1;
        if (!WriteSensorPresent(thermalKey, index, present, &outcome->cache)) {
            outcome->stopIndex = index;
            return REBUILD_PRESENCE_NOT_WRITTEN;
        }
        if (present) {
            // The ordinal of this sensor: the present ones below it.
            WriteSensorLimits(index, thermalKey, outcome);
            WritePreviousState(count++, 0, &outcome->cache);
        }
    }
    return WriteSensorCount(thermalKey, count, &outcome->cache) ? REBUILD_COMPLETE
                                                                : REBUILD_COUNT_NOT_WRITTEN;
}

} // namespace

RebuildOutcome RefreshSensorCache(int force)
{
    RebuildOutcome outcome = RebuildOutcome();
    // The first sensor key standing for the whole cache.
    if (CacheKeyExists(0) && !force)
        return outcome;
    HKEY thermalKey;
    LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, THERMAL_KEY_PATH, 0, NULL,
                                     REG_OPTION_NON_VOLATILE, KEY_WRITE | CACHE_REGISTRY_VIEW,
                                     NULL, &thermalKey, NULL);
    if (status != ERROR_SUCCESS) {
        outcome.cache.createFailed = 1;
        outcome.cache.createKey = CACHE_THERMAL_KEY;
        outcome.cache.createStatus = status;
        outcome.end = REBUILD_NO_THERMAL_KEY;
        return outcome;
    }
    RegisterImage info = {0, 0, 0, 0, 0, 0};
    outcome.infoResult = QuerySensorInfo(&info);
    if (outcome.infoResult != FW_OK)
        outcome.end = REBUILD_NO_SENSOR_INFO;
    else if (!(info.ecx & FW_INFO_AVAILABLE))
        outcome.end = REBUILD_NO_INFORMATION;
    else
        outcome.end = WriteSensors(thermalKey, &info, &outcome);
    RegCloseKey(thermalKey);
    return outcome;
}
