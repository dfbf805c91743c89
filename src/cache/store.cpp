// The sensor configuration cache in the registry.
#include "cache/store.h"

namespace {

// How a read of one value went: a value that is missing, of another type or too long counts
// as absent (the cache is damaged, and the callers' rebuild rewrites it); any other error
// is a failure of the registry itself.
enum ReadClass { READ_OK, READ_ABSENT, READ_ERROR };

// Returns the class of a registry call's status.
ReadClass Classify(LSTATUS status)
{
    if (status == ERROR_SUCCESS)
        return READ_OK;
    return status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA ? READ_ABSENT : READ_ERROR;
}

// Notes a read of `name` in cache key `key` (a null name: opening the key) that failed.
void NoteRead(CacheOutcome *outcome, int key, LPCSTR name, LSTATUS status, DWORD type)
{
    if (!outcome || outcome->readFailed)
        return;
    outcome->readFailed = 1;
    outcome->readKey = key;
    outcome->readValue = name;
    outcome->readStatus = status;
    outcome->readType = type;
}

// Opens cache key `key` (CACHE_THERMAL_KEY or a sensor index) under HKEY_LOCAL_MACHINE,
// noting a failure.
ReadClass OpenCacheKey(int key, REGSAM access, HKEY *opened, CacheOutcome *outcome)
{
    char path[KEY_PATH_BUFFER_SIZE];
    if (key == CACHE_THERMAL_KEY)
        wsprintfA(path, "%s", THERMAL_KEY_PATH);
    else
        wsprintfA(path, SENSOR_PATH_FORMAT, THERMAL_KEY_PATH, key);
    LSTATUS status =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access | CACHE_REGISTRY_VIEW, opened);
    if (status != ERROR_SUCCESS)
        NoteRead(outcome, key, NULL, status, REG_NONE);
    return Classify(status);
}

// Reads a REG_DWORD value of cache key `keyName` (open as `key`) into `*value`, which is left
// alone on failure. A value of any other type reads like a missing one, so that the callers'
// rebuild rewrites it.
ReadClass QueryDword(HKEY key, int keyName, LPCSTR name, int *value, CacheOutcome *outcome)
{
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof data;
    LSTATUS status = RegQueryValueExA(key, name, NULL, &type, (LPBYTE)&data, &size);
    if (status != ERROR_SUCCESS || type != REG_DWORD) {
        NoteRead(outcome, keyName, name, status, type);
        return status == ERROR_SUCCESS ? READ_ABSENT : Classify(status);
    }
    *value = (int)data;
    return READ_OK;
}

} // namespace

BOOL WriteDwordValue(HKEY key, LPCSTR name, int value, CacheOutcome *outcome)
{
    DWORD data = (DWORD)value;
    LSTATUS status = RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&data, sizeof data);
    if (status != ERROR_SUCCESS && outcome && !outcome->writeValue) {
        outcome->writeValue = name;
        outcome->writeStatus = status;
    }
    return status == ERROR_SUCCESS;
}

BOOL WriteSensorPresent(HKEY thermalKey, int index, int flag, CacheOutcome *outcome)
{
    char name[KEY_PATH_BUFFER_SIZE];
    wsprintfA(name, SENSOR_KEY_FORMAT, index);
    HKEY key;
    LSTATUS status = RegCreateKeyExA(thermalKey, name, 0, NULL, REG_OPTION_NON_VOLATILE,
                                     KEY_WRITE | CACHE_REGISTRY_VIEW, NULL, &key, NULL);
    if (status != ERROR_SUCCESS) {
        if (outcome) {
            outcome->createFailed = 1;
            outcome->createKey = index;
            outcome->createStatus = status;
        }
        return FALSE;
    }
    BOOL written = WriteDwordValue(key, VALUE_IS_PRESENT, flag, outcome);
    RegCloseKey(key);
    return written;
}

BOOL WriteSensorCount(HKEY thermalKey, int count, CacheOutcome *outcome)
{
    return WriteDwordValue(thermalKey, VALUE_SENSOR_COUNT, count, outcome);
}

BOOL CacheKeyExists(int key)
{
    HKEY opened;
    if (OpenCacheKey(key, KEY_QUERY_VALUE, &opened, NULL) != READ_OK)
        return FALSE;
    RegCloseKey(opened);
    return TRUE;
}

int ReadSensorCount(CacheOutcome *outcome)
{
    HKEY key;
    int count = READ_FAILED;
    if (OpenCacheKey(CACHE_THERMAL_KEY, KEY_READ, &key, outcome) != READ_OK)
        return READ_FAILED;
    QueryDword(key, CACHE_THERMAL_KEY, VALUE_SENSOR_COUNT, &count, outcome);
    RegCloseKey(key);
    return count;
}

// An index whose presence cannot be read because the registry failed (rather than because
// the value is missing or damaged) ends the walk: skipping it would shift every later
// ordinal onto the wrong sensor.
int OpenMappedSensor(int ordinal, SensorKey *sensor, CacheOutcome *outcome)
{
    int seen = 0;
    for (int index = 0; index < MAPPED_INDEX_LIMIT; ++index) {
        ReadClass read = OpenCacheKey(index, KEY_READ, &sensor->key, outcome);
        if (read == READ_ERROR)
            return READ_FAILED;
        if (read != READ_OK)
            continue;
        int present = 0;
        read = QueryDword(sensor->key, index, VALUE_IS_PRESENT, &present, outcome);
        if (read == READ_OK && present == 1 && seen++ == ordinal) {
            sensor->index = index;
            return index;
        }
        RegCloseKey(sensor->key);
        if (read == READ_ERROR)
            return READ_FAILED;
    }
    return READ_FAILED;
}

int ReadSensorKeyValue(const SensorKey *sensor, LPCSTR name, int failed, CacheOutcome *outcome)
{
    int value = failed;
    QueryDword(sensor->key, sensor->index, name, &value, outcome);
    return value;
}

void CloseSensorKey(const SensorKey *sensor) { RegCloseKey(sensor->key); }

int OrdinalToIndex(int ordinal, CacheOutcome *outcome)
{
    SensorKey sensor;
    int index = OpenMappedSensor(ordinal, &sensor, outcome);
    if (index != READ_FAILED)
        CloseSensorKey(&sensor);
    return index;
}

int ReadSensorValue(int ordinal, LPCSTR name, CacheOutcome *outcome)
{
    SensorKey sensor;
    if (OpenMappedSensor(ordinal, &sensor, outcome) == READ_FAILED)
        return READ_FAILED;
    int value = ReadSensorKeyValue(&sensor, name, READ_FAILED, outcome);
    CloseSensorKey(&sensor);
    return value;
}

void WriteIndexState(int index, int state, CacheOutcome *outcome)
{
    HKEY key;
    if (OpenCacheKey(index, KEY_ALL_ACCESS, &key, outcome) != READ_OK)
        return;
    WriteDwordValue(key, VALUE_PREVIOUS_STATE, state, outcome);
    RegCloseKey(key);
}

void WritePreviousState(int ordinal, int state, CacheOutcome *outcome)
{
    int index = OrdinalToIndex(ordinal, outcome);
    if (index != READ_FAILED)
        WriteIndexState(index, state, outcome);
}
