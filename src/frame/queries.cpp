// The exported sensor queries: count, location, temperature, warning and critical limit.
#include "frame/queries.h"

#include "base/device_state.h"
#include "cache/rebuild.h"
#include "frame/library_lock.h"
#include "kovaltherm.h"
#include "sensors/sensor_reads.h"

namespace {

// What each export answers when the machine-wide mutex does not come: the failure it reports
// when the cache or the controller fails it, with nothing read, written or rebuilt.
const LockedOutAnswer COUNT_LOCKED_OUT = {EXPORT_GET_NUM_SENSORS, 0, 0};
const LockedOutAnswer LOCATION_LOCKED_OUT = {EXPORT_GET_SENSOR_LOCATION, 0, READ_FAILED};
const LockedOutAnswer TEMPERATURE_LOCKED_OUT = {EXPORT_READ_TEMPERATURE, 0,
                                                KOVALTHERM_NO_TEMPERATURE};
const LockedOutAnswer WARNING_LOCKED_OUT = {EXPORT_READ_WARNING_LIMIT, 0, READ_FAILED};
const LockedOutAnswer CRITICAL_LOCKED_OUT = {EXPORT_READ_CRITICAL_LIMIT, 0, READ_FAILED};

// Returns the stored count, or READ_FAILED when it cannot be read. A negative stored count
// counts as unreadable: no sensor could pass validation, and the cache would never be
// repaired.
int ReadUsableSensorCount(CallReport *report)
{
    int count = ReadSensorCount(&report->cache);
    return count < 0 ? READ_FAILED : count;
}

int GetNumSensors(int, int *, CallReport *report)
{
    if (!g_deviceState.thermalSupported) {
        report->phase = PHASE_NO_SUPPORT;
        return 0;
    }
    RefreshCache(REFRESH_IF_ABSENT, report);
    int count = ReadUsableSensorCount(report);
    return count == READ_FAILED ? FailAndRebuild(PHASE_COUNT_UNREADABLE, 0, report) : count;
}

int GetSensorLocation(int ordinal, int *location, CallReport *report)
{
    if (!IsValidSensor(ordinal, report))
        return 0;
    *location = ReadSensorLocation(ordinal, &report->cache);
    return *location == READ_FAILED ? FailAndRebuild(PHASE_NOT_MAPPED, 0, report) : 1;
}

int ReadTemperature(int ordinal, int *temperature, CallReport *report)
{
    if (!IsValidSensor(ordinal, report))
        return 0;
    *temperature = ReadSensorTemperature(ordinal, NULL, &report->blocks, &report->cache);
    return *temperature == KOVALTHERM_NO_TEMPERATURE
               ? FailAndRebuild(PHASE_NO_TEMPERATURE, 0, report)
               : 1;
}

// Reads one limit value of a sensor into `*limit`; a negative value forces a rebuild.
int ReadLimit(int ordinal, LPCSTR name, int *limit, CallReport *report)
{
    if (!IsValidSensor(ordinal, report))
        return 0;
    *limit = ReadSensorValue(ordinal, name, &report->cache);
    return *limit < 0 ? FailAndRebuild(PHASE_LIMIT_UNREADABLE, 0, report) : 1;
}

int ReadWarningLimit(int ordinal, int *limit, CallReport *report)
{
    return ReadLimit(ordinal, VALUE_WARNING_HIGH, limit, report);
}

int ReadCriticalLimit(int ordinal, int *limit, CallReport *report)
{
    return ReadLimit(ordinal, VALUE_CRITICAL_HIGH, limit, report);
}

} // namespace

BOOL IsValidSensor(int ordinal, CallReport *report)
{
    if (!g_deviceState.thermalSupported) {
        report->phase = PHASE_NO_SUPPORT;
        return FALSE;
    }
    int count = ReadUsableSensorCount(report);
    if (count == READ_FAILED)
        return FailAndRebuild(PHASE_COUNT_UNREADABLE, FALSE, report);
    if (ordinal >= 0 && ordinal < count)
        return TRUE;
    report->phase = PHASE_OUT_OF_RANGE;
    report->count = count;
    return FALSE;
}

void RefreshCache(int force, CallReport *report)
{
    RebuildOutcome outcome = RefreshSensorCache(force);
    if (outcome.end == REBUILD_NOT_RUN)
        return;
    ++report->rebuilds;
    report->rebuild = outcome;
}

int FailAndRebuild(int phase, int result, CallReport *report)
{
    report->phase = phase;
    RefreshCache(REFRESH_FORCE, report);
    return result;
}

extern "C" {

int KOVALTHERM_CDECL LMGetNumSensors(void)
{
    int unused;
    return RunSerialised(GetNumSensors, 0, &unused, COUNT_LOCKED_OUT);
}

int KOVALTHERM_CDECL LMGetSensorLocation(int ordinal, int *location)
{
    return RunSerialised(GetSensorLocation, ordinal, location, LOCATION_LOCKED_OUT);
}

int KOVALTHERM_CDECL LMReadTemperature(int ordinal, int *temperature)
{
    return RunSerialised(ReadTemperature, ordinal, temperature, TEMPERATURE_LOCKED_OUT);
}

int KOVALTHERM_CDECL LMReadWarningLimit(int ordinal, int *limit)
{
    return RunSerialised(ReadWarningLimit, ordinal, limit, WARNING_LOCKED_OUT);
}

int KOVALTHERM_CDECL LMReadCriticalLimit(int ordinal, int *limit)
{
    return RunSerialised(ReadCriticalLimit, ordinal, limit, CRITICAL_LOCKED_OUT);
}

} // extern "C"
