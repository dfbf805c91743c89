// The sensor configuration cache in the registry.
#include "cache/store.h"

namespace {

// How a read of one value went: a value that is missing, of another type or too long counts
// as absent (the cache is damaged, and the callers' rebuild rewrites it); any other error
// is a failure of the registry itself.
enum ReadOutcome { READ_OK, READ_ABSENT, READ_ERROR };

// Returns the outcome class of a registry call's status.
ReadOutcome ClassifyStatus(LSTATUS status)
{
    if (status == ERROR_SUCCESS)
        return READ_OK;
    return status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA ? READ_ABSENT : READ_ERROR;
}

// Reads a REG_DWORD value from an open key into `*value`. A value of any other type reads
// like a missing one, so that the callers' rebuild rewrites it.
ReadOutcome QueryDwordOutcome(HKEY key, LPCSTR name, int *value)
{
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof data;
    ReadOutcome outcome =
        ClassifyStatus(RegQueryValueExA(key, name, NULL, &type, (LPBYTE)&data, &size));
    if (outcome != READ_OK)
        return outcome;
    if (type != REG_DWORD)
        return READ_ABSENT;
    *value = (int)data;
    return READ_OK;
}

// Reads a REG_DWORD value from an open key into `*value`; returns 1 on success.
int QueryDword(HKEY key, LPCSTR name, int *value)
{
    return QueryDwordOutcome(key, name, value) == READ_OK;
}

// Opens the key of physical sensor `index` under HKEY_LOCAL_MACHINE; returns the status.
LSTATUS OpenSensorKeyStatus(int index, REGSAM access, HKEY *key)
{
    char path[KEY_PATH_BUFFER_SIZE];
    wsprintfA(path, SENSOR_PATH_FORMAT, THERMAL_KEY_PATH, index);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access | CACHE_REGISTRY_VIEW, key);
}

// Opens the key of physical sensor `index` under HKEY_LOCAL_MACHINE; returns 1 on success.
int OpenSensorKey(int index, REGSAM access, HKEY *key)
{
    return OpenSensorKeyStatus(index, access, key) == ERROR_SUCCESS;
}

// Reads a value of physical sensor `index` into `*value` and tells how the read went.
ReadOutcome ReadIndexValueOutcome(int index, LPCSTR name, int *value)
{
    HKEY key;
    ReadOutcome outcome = ClassifyStatus(OpenSensorKeyStatus(index, KEY_READ, &key));
    if (outcome != READ_OK)
        return outcome;
    outcome = QueryDwordOutcome(key, name, value);
    RegCloseKey(key);
    return outcome;
}

// Reads a value of physical sensor `index`; returns 1 on success.
int ReadIndexValue(int index, LPCSTR name, int *value)
{
    return ReadIndexValueOutcome(index, name, value) == READ_OK;
}

} // namespace

int WriteDwordValue(HKEY key, LPCSTR name, int value)
{
    DWORD data = (DWORD)value;
    return RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&data, sizeof data) ==
           ERROR_SUCCESS;
}

int WriteSensorPresent(HKEY thermalKey, int index, int flag)
{
    char name[KEY_PATH_BUFFER_SIZE];
    wsprintfA(name, SENSOR_KEY_FORMAT, index);
    HKEY key;
    if (RegCreateKeyExA(thermalKey, name, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE | CACHE_REGISTRY_VIEW, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return 0;
    int ok = WriteDwordValue(key, VALUE_IS_PRESENT, flag);
    RegCloseKey(key);
    return ok;
}

int ReadSensorPresent(int index)
{
    int value = -1;
    return ReadIndexValue(index, VALUE_IS_PRESENT, &value) ? value : -1;
}

int WriteSensorCount(HKEY thermalKey, int count)
{
    return WriteDwordValue(thermalKey, VALUE_SENSOR_COUNT, count);
}

int ReadSensorCount(void)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, THERMAL_KEY_PATH, 0, KEY_READ | CACHE_REGISTRY_VIEW,
                      &key) != ERROR_SUCCESS)
        return -1;
    int count = -1;
    if (!QueryDword(key, VALUE_SENSOR_COUNT, &count))
        count = -1;
    RegCloseKey(key);
    return count;
}

// An index whose presence cannot be read because the registry failed (rather than because
// the value is missing or damaged) ends the walk with -1: skipping it would shift every later
// ordinal onto the wrong sensor.
int OrdinalToIndex(int ordinal)
{
    int seen = 0;
    for (int index = 0; index < MAPPED_INDEX_LIMIT; ++index) {
        int present = -1;
        ReadOutcome outcome = ReadIndexValueOutcome(index, VALUE_IS_PRESENT, &present);
        if (outcome == READ_ERROR)
            return -1;
        if (outcome != READ_OK || present != 1)
            continue;
        if (seen == ordinal)
            return index;
        ++seen;
    }
    return -1;
}

int ReadSensorValue(int ordinal, LPCSTR name)
{
    int index = OrdinalToIndex(ordinal);
    if (index < 0)
        return -1;
    int value = -1;
    return ReadIndexValue(index, name, &value) ? value : -1;
}

int ReadPreviousState(int ordinal)
{
    int index = OrdinalToIndex(ordinal);
    if (index < 0)
        return 0;
    int state = 0;
    return ReadIndexValue(index, VALUE_PREVIOUS_STATE, &state) ? state : 0;
}

void WritePreviousState(int ordinal, int state)
{
    int index = OrdinalToIndex(ordinal);
    HKEY key;
    if (index < 0 || !OpenSensorKey(index, KEY_ALL_ACCESS, &key))
        return;
    WriteDwordValue(key, VALUE_PREVIOUS_STATE, state);
    RegCloseKey(key);
}
