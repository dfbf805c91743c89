// The exported sensor queries: count, location, temperature, warning and critical limit.
#include "frame/queries.h"

#include "cache/rebuild.h"
#include "cache/store.h"
#include "frame/device_state.h"
#include "frame/library_lock.h"
#include "frame/trace.h"
#include "hw/controller.h"
#include "kovaltherm.h"

namespace {

// Location codes by physical sensor index; any other index has code 0.
const int LOCATION_CODES[PHYSICAL_SENSOR_COUNT] = {2, 4, 5, 1, 6, 7, 8, 9};
const int NO_LOCATION_CODE = 0;

// What each export answers when the machine-wide mutex does not come: the failure it reports
// when the cache or the controller fails it, with nothing read, written or rebuilt.
const LockedOutAnswer COUNT_LOCKED_OUT = {TRACE_GET_NUM_SENSORS, 0, 0};
const LockedOutAnswer LOCATION_LOCKED_OUT = {TRACE_GET_SENSOR_LOCATION, 0, READ_FAILED};
const LockedOutAnswer TEMPERATURE_LOCKED_OUT = {TRACE_READ_TEMPERATURE, 0, NO_TEMPERATURE};
const LockedOutAnswer WARNING_LOCKED_OUT = {TRACE_READ_WARNING_LIMIT, 0, READ_FAILED};
const LockedOutAnswer CRITICAL_LOCKED_OUT = {TRACE_READ_CRITICAL_LIMIT, 0, READ_FAILED};

// Returns the stored count, or -1 when it cannot be read. A negative stored count counts
// as unreadable: no sensor could pass validation, and the cache would never be repaired.
int ReadUsableSensorCount(void)
{
    int count = ReadSensorCount();
    return count < 0 ? -1 : count;
}

int GetNumSensors(void)
{
    if (!g_deviceState.thermalSupported)
        return TracePhase(TRACE_NO_SUPPORT, 0);
    RefreshSensorCache(REFRESH_IF_ABSENT);
    int count = ReadUsableSensorCount();
    if (count == -1) {
        TracePhase(TRACE_COUNT_UNREADABLE, 0);
        RefreshSensorCache(REFRESH_FORCE);
        return 0;
    }
    return count;
}

int GetSensorLocation(int ordinal, int *location)
{
    if (!IsValidSensor(ordinal))
        return 0;
    int index = OrdinalToIndex(ordinal);
    *location = index;
    if (index < 0) {
        TracePhase(TRACE_NOT_MAPPED, 0);
        RefreshSensorCache(REFRESH_FORCE);
        return 0;
    }
    *location = index < PHYSICAL_SENSOR_COUNT ? LOCATION_CODES[index] : NO_LOCATION_CODE;
    return 1;
}

int ReadTemperature(int ordinal, int *temperature)
{
    if (!IsValidSensor(ordinal))
        return 0;
    int t = ReadSensorTemperature(ordinal);
    *temperature = t;
    if (t != NO_TEMPERATURE)
        return 1;
    TracePhase(TRACE_NO_TEMPERATURE, 0);
    RefreshSensorCache(REFRESH_FORCE);
    return 0;
}

// Reads one limit value of a sensor into `*limit`; a negative value forces a rebuild.
int ReadLimit(int ordinal, LPCSTR name, int *limit)
{
    if (!IsValidSensor(ordinal))
        return 0;
    int value = ReadSensorValue(ordinal, name);
    *limit = value;
    if (value >= 0)
        return 1;
    TracePhase(TRACE_LIMIT_UNREADABLE, 0);
    RefreshSensorCache(REFRESH_FORCE);
    return 0;
}

int ReadWarningLimit(int ordinal, int *limit)
{
    return ReadLimit(ordinal, VALUE_WARNING_HIGH, limit);
}

int ReadCriticalLimit(int ordinal, int *limit)
{
    return ReadLimit(ordinal, VALUE_CRITICAL_HIGH, limit);
}

// The bodies inside their trace record: begun before the body, its line written after.
int TracedGetNumSensors(void)
{
    TraceBegin(TRACE_GET_NUM_SENSORS, 0);
    return TraceEnd(GetNumSensors());
}

int TracedGetSensorLocation(int ordinal, int *location)
{
    return TraceEnd(GetSensorLocation(TraceBegin(TRACE_GET_SENSOR_LOCATION, ordinal), location));
}

int TracedReadTemperature(int ordinal, int *temperature)
{
    return TraceEnd(ReadTemperature(TraceBegin(TRACE_READ_TEMPERATURE, ordinal), temperature));
}

int TracedReadWarningLimit(int ordinal, int *limit)
{
    return TraceEnd(ReadWarningLimit(TraceBegin(TRACE_READ_WARNING_LIMIT, ordinal), limit));
}

int TracedReadCriticalLimit(int ordinal, int *limit)
{
    return TraceEnd(ReadCriticalLimit(TraceBegin(TRACE_READ_CRITICAL_LIMIT, ordinal), limit));
}

} // namespace

int IsValidSensor(int ordinal)
{
    if (!g_deviceState.thermalSupported)
        return TracePhase(TRACE_NO_SUPPORT, 0);
    int count = ReadUsableSensorCount();
    if (count == -1) {
        TracePhase(TRACE_COUNT_UNREADABLE, 0);
        RefreshSensorCache(REFRESH_FORCE);
        return 0;
    }
    return TraceRange(ordinal >= 0 && ordinal < count, count);
}

extern "C" {

int KOVALTHERM_CDECL LMGetNumSensors(void)
{
    return RunSerialised(TracedGetNumSensors, COUNT_LOCKED_OUT);
}

int KOVALTHERM_CDECL LMGetSensorLocation(int ordinal, int *location)
{
    return RunSerialised(TracedGetSensorLocation, ordinal, location, LOCATION_LOCKED_OUT);
}

int KOVALTHERM_CDECL LMReadTemperature(int ordinal, int *temperature)
{
    return RunSerialised(TracedReadTemperature, ordinal, temperature, TEMPERATURE_LOCKED_OUT);
}

int KOVALTHERM_CDECL LMReadWarningLimit(int ordinal, int *limit)
{
    return RunSerialised(TracedReadWarningLimit, ordinal, limit, WARNING_LOCKED_OUT);
}

int KOVALTHERM_CDECL LMReadCriticalLimit(int ordinal, int *limit)
{
    return RunSerialised(TracedReadCriticalLimit, ordinal, limit, CRITICAL_LOCKED_OUT);
}

} // extern "C"
