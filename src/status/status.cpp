// Temperature status: the state machine behind LMReadTempStatus.
#include "status/status.h"

#include "frame/library_lock.h"
#include "frame/queries.h"
#include "kovaltherm.h"
#include "sensors/sensor_reads.h"

namespace {

// What ComputeTempState returns when the limits it needs are unreadable or negative: all
// three, or only some of them. Never stored.
const int STATE_NO_LIMITS = -1;
const int STATE_SOME_LIMITS = -2;

// The limits the classification reads.
const int LIMITS_READ = 3;

// What the export answers when the machine-wide mutex does not come: no status, as after an
// unreadable temperature, with nothing read, written or rebuilt.
const LockedOutAnswer STATUS_LOCKED_OUT = {EXPORT_READ_TEMP_STATUS, 1, KOVALTHERM_STATUS_NONE};

// Reads one limit of the open sensor key into `*limit`; TRUE if it is readable and not
// negative, as the limit exports judge it.
BOOL ReadUsableLimit(const SensorKey *sensor, LPCSTR name, int *limit, CacheOutcome *outcome)
{
    *limit = ReadSensorKeyValue(sensor, name, READ_FAILED, outcome);
    return *limit >= 0;
}

// Returns the sensor's new state for temperature `t`, from its stored state `previous` and
// its limits read from its open key, or one of the two above when a plausible reading meets
// unreadable limits.
int ComputeTempState(const SensorKey *sensor, int previous, int t, CacheOutcome *outcome)
{
    if (t > PLAUSIBLE_TEMPERATURE_MAX)
        return previous;
    // Only limits from 0 up are used, so the bounds below them cannot wrap.
    int warnHigh, warnNormal, critHigh;
    int usable = ReadUsableLimit(sensor, VALUE_WARNING_HIGH, &warnHigh, outcome) +
                 ReadUsableLimit(sensor, VALUE_WARNING_NORMAL, &warnNormal, outcome) +
                 ReadUsableLimit(sensor, VALUE_CRITICAL_HIGH, &critHigh, outcome);
    if (usable == 0)
        return STATE_NO_LIMITS;
    if (usable < LIMITS_READ)
        return STATE_SOME_LIMITS;
    if (t > warnHigh - STATUS_WARNING_MARGIN) {
        if (previous != KOVALTHERM_STATUS_NORMAL)
            return KOVALTHERM_STATUS_CRITICAL;
        // From normal, a reading short of the critical bound warns; one at or past it is
        // critical at once.
        return t < critHigh - STATUS_CRITICAL_MARGIN ? KOVALTHERM_STATUS_WARNING
                                                     : KOVALTHERM_STATUS_CRITICAL;
    }
    if (t > warnNormal && previous == KOVALTHERM_STATUS_WARNING)
        return KOVALTHERM_STATUS_WARNING;
    return KOVALTHERM_STATUS_NORMAL;
}

// Returns the status to report for a new state, smoothed against the state before it:
// leaving the warning state is reported one call late.
int ReportedStatus(int previous, int next)
{
    switch (next) {
    case KOVALTHERM_STATUS_CRITICAL:
    case KOVALTHERM_STATUS_WARNING:
        return next;
    case KOVALTHERM_STATUS_NORMAL:
        return previous == KOVALTHERM_STATUS_WARNING ? KOVALTHERM_STATUS_WARNING
                                                     : KOVALTHERM_STATUS_NORMAL;
    default:
        return KOVALTHERM_STATUS_NONE;
    }
}

// The sensor's key is opened once, by the mapping after the block read, for the stored state
// and the limits; the new state is written through a key opened for writing.
int ReadTempStatus(int ordinal, int *status, CallReport *report)
{
    if (!IsValidSensor(ordinal, report))
        return 0;
    *status = KOVALTHERM_STATUS_NONE;
    SensorKey sensor;
    int t = ReadSensorTemperature(ordinal, &sensor, &report->blocks, &report->cache);
    if (t == KOVALTHERM_NO_TEMPERATURE)
        return FailAndRebuild(PHASE_NO_TEMPERATURE, 1, report);
    int previous = ReadSensorKeyValue(&sensor, VALUE_PREVIOUS_STATE, 0, &report->cache);
    int next = ComputeTempState(&sensor, previous, t, &report->cache);
    CloseSensorKey(&sensor);
    // Without its limits the sensor cannot be classified: no status, and the stored state
    // stays as it was. A sensor the firmware gave no limits keeps none, but one with only
    // some of them is a half-written cache, which no other export would repair: "Warning
    // Normal" is read by this export alone.
    if (next == STATE_NO_LIMITS) {
        report->phase = PHASE_LIMIT_UNREADABLE;
        return 1;
    }
    if (next == STATE_SOME_LIMITS)
        return FailAndRebuild(PHASE_LIMIT_UNREADABLE, 1, report);
    *status = ReportedStatus(previous, next);
    WriteIndexState(sensor.index, next, &report->cache);
    return 1;
}

} // namespace

extern "C" int KOVALTHERM_CDECL LMReadTempStatus(int ordinal, int *status)
{
    return RunSerialised(ReadTempStatus, ordinal, status, STATUS_LOCKED_OUT);
}
