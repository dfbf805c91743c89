// Temperature status: the state machine behind LMReadTempStatus.
#include "status/status.h"

#include "cache/rebuild.h"
#include "cache/store.h"
#include "frame/library_lock.h"
#include "frame/queries.h"
#include "frame/trace.h"
#include "hw/controller.h"
#include "kovaltherm.h"

namespace {

// The limits the classification reads.
const int LIMITS_READ = 3;

// What the export answers when the machine-wide mutex does not come: no status, as after an
// unreadable temperature, with nothing read, written or rebuilt.
const LockedOutAnswer STATUS_LOCKED_OUT = {TRACE_READ_TEMP_STATUS, 1, TEMP_STATE_NONE};

// Margins below the limits at which the state changes.
const int WARNING_MARGIN = STATUS_WARNING_MARGIN;
const int CRITICAL_MARGIN = STATUS_CRITICAL_MARGIN;

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
        TracePhase(TRACE_NO_TEMPERATURE, 0);
        RefreshSensorCache(REFRESH_FORCE);
        return 1;
    }
    int previous = ReadPreviousState(ordinal);
    int next = ComputeTempState(ordinal, t);
    // Without its limits the sensor cannot be classified: no status, and the stored state
    // stays as it was. A sensor the firmware gave no limits keeps none, but one with only
    // some of them is a half-written cache, which no other export would repair: "Warning
    // Normal" is read by this export alone.
    if (next == TEMP_STATE_NO_LIMITS)
        return TracePhase(TRACE_LIMIT_UNREADABLE, 1);
    if (next == TEMP_STATE_SOME_LIMITS) {
        TracePhase(TRACE_LIMIT_UNREADABLE, 0);
        RefreshSensorCache(REFRESH_FORCE);
        return 1;
    }
    *status = ReportedStatus(previous, next);
    WritePreviousState(ordinal, next);
    return 1;
}

// Reads one limit into `*limit`; returns 0 when it is unreadable or negative, as the limit
// exports judge it.
int ReadUsableLimit(int ordinal, LPCSTR name, int *limit)
{
    *limit = ReadSensorValue(ordinal, name);
    return *limit >= 0;
}

// The body inside its trace record: begun before the body, its line written after.
int TracedReadTempStatus(int ordinal, int *status)
{
    return TraceEnd(ReadTempStatus(TraceBegin(TRACE_READ_TEMP_STATUS, ordinal), status));
}

} // namespace

int ComputeTempState(int ordinal, int t)
{
    int previous = ReadPreviousState(ordinal);
    if (t == NO_TEMPERATURE || t > PLAUSIBLE_TEMPERATURE_MAX)
        return previous;
    // Only limits from 0 up are used, so the bounds below them cannot wrap.
    int warnHigh, warnNormal, critHigh;
    int usable = ReadUsableLimit(ordinal, VALUE_WARNING_HIGH, &warnHigh) +
                 ReadUsableLimit(ordinal, VALUE_WARNING_NORMAL, &warnNormal) +
                 ReadUsableLimit(ordinal, VALUE_CRITICAL_HIGH, &critHigh);
    if (usable == 0)
        return TEMP_STATE_NO_LIMITS;
    if (usable < LIMITS_READ)
        return TEMP_STATE_SOME_LIMITS;
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
    return RunSerialised(TracedReadTempStatus, ordinal, status, STATUS_LOCKED_OUT);
}
