// Temperature status: the state machine behind LMReadTempStatus.
#include "status/status.h"

#include "cache/rebuild.h"
#include "cache/store.h"
#include "frame/library_lock.h"
#include "frame/queries.h"
#include "hw/controller.h"
#include "kovaltherm.h"

namespace {

// The margins in 64 bits, like the bounds computed with them.
const long long WARNING_MARGIN = STATUS_WARNING_MARGIN;
const long long CRITICAL_MARGIN = STATUS_CRITICAL_MARGIN;

// Returns the status to report for a new state, smoothed against the state before it:
// leaving the warning state is reported one call late.
int ReportedStatus(int previous, int next)
{
    switch (next) {
    case TEMP_STATE_CRITICAL:
        return TEMP_STATE_CRITICAL;
    case TEMP_STATE_WARNING:
        return TEMP_STATE_WARNING;
    case TEMP_STATE_NORMAL:
        return previous == TEMP_STATE_WARNING ? TEMP_STATE_WARNING : TEMP_STATE_NORMAL;
    default:
        return TEMP_STATE_NONE;
    }
}

int ReadTempStatus(int ordinal, int *status)
{
    if (!IsValidSensor(ordinal))
        return 0;
    *status = TEMP_STATE_NONE;
    int t = ReadSensorTemperature(ordinal);
    if (t == NO_TEMPERATURE) {
        RefreshSensorCache(REFRESH_FORCE);
        return 1;
    }
    int previous = ReadPreviousState(ordinal);
    int next = ComputeTempState(ordinal, t);
    *status = ReportedStatus(previous, next);
    WritePreviousState(ordinal, next);
    return 1;
}

} // namespace

int ComputeTempState(int ordinal, int t)
{
    int previous = ReadPreviousState(ordinal);
    if (t == NO_TEMPERATURE || t > PLAUSIBLE_TEMPERATURE_MAX)
        return previous;
    // The bounds are computed in 64 bits: a damaged cache may hold limits near INT_MIN.
    long long warnHigh = ReadSensorValue(ordinal, VALUE_WARNING_HIGH);
    long long warnNormal = ReadSensorValue(ordinal, VALUE_WARNING_NORMAL);
    long long critHigh = ReadSensorValue(ordinal, VALUE_CRITICAL_HIGH);
    if (t > warnHigh - WARNING_MARGIN) {
        if (previous != TEMP_STATE_NORMAL)
            return TEMP_STATE_CRITICAL;
        // From normal, a reading short of the critical bound warns; one at or past it is
        // critical at once.
        return t < critHigh - CRITICAL_MARGIN ? TEMP_STATE_WARNING : TEMP_STATE_CRITICAL;
    }
    if (t > warnNormal && previous == TEMP_STATE_WARNING)
        return TEMP_STATE_WARNING;
    return TEMP_STATE_NORMAL;
}

extern "C" int KOVALTHERM_CDECL LMReadTempStatus(int ordinal, int *status)
{
    return RunSerialised(ReadTempStatus, ordinal, status);
}
