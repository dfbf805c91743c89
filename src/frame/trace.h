// Opt-in diagnostics: one line per export call that failed or rebuilt the cache, naming the
// export, the phase that failed and its cause. Off unless KOVALTHERM_TRACE is set when the
// library attaches; when off, every hook below costs one test of g_traceMode.
//
// Line format (stable; tools may parse it):
//   kovaltherm: <export>(#<export ordinal>)[ sensor <n>]: <phase>[: <cause>][; <rebuild>][; <driver>]
// <phase>   no thermal support | sensor count unreadable | ordinal not among the <c> present sensors
//           | sensor maps to no present sensor | no temperature | limit unreadable | cache absent
//           | library mutex not acquired
// <cause>   <b> block read(s) failed, <a> attempts: <x> busy, <y> wrong echo, <z> unreadable
//             [, <l> without the controller mutex (<wait>)]
//           | <wait>
//           | "<value>" missing in "<key>" | "<value>" in "<key>" is of type <t>, not REG_DWORD
//           | "<value>" in "<key>" too long | key "<key>" missing | registry error <e> ...
//           | the sensor has no temperature byte | stored value is negative
// <rebuild> rebuild ran to the end[, firmware gave no limits for Sensor <i> (result <r>)]
//           [, "<value>" not written (error <e>)] | rebuild stopped[ at Sensor <i>]: <why>
//           (prefixed "<k> rebuilds, the last" when the call rebuilt more than once)
// <driver>  driver request 0x<code> failed with error <e>[ (<k> failed requests)]
// <wait>    the wait for "<mutex>" timed out after <ms> ms | the wait for "<mutex>" failed with
//           error <e>
#ifndef KOVALTHERM_TRACE_H
#define KOVALTHERM_TRACE_H

#include "platform/win32_api.h"

// The environment variable read at attach: unset, empty or "0" is off, "stderr" writes to
// the process's standard error, any other value to OutputDebugStringA.
#define TRACE_VARIABLE "KOVALTHERM_TRACE"

enum TraceMode { TRACE_OFF = 0, TRACE_DEBUGGER = 1, TRACE_STDERR = 2 };

// The exports' ordinals in the export table.
enum TraceExport {
    TRACE_GET_NUM_SENSORS = 1,
    TRACE_GET_SENSOR_LOCATION = 2,
    TRACE_READ_CRITICAL_LIMIT = 3,
    TRACE_READ_TEMP_STATUS = 4,
    TRACE_READ_TEMPERATURE = 5,
    TRACE_READ_WARNING_LIMIT = 6,
};

enum TracePhase {
    TRACE_PHASE_NONE,
    TRACE_NO_SUPPORT,
    TRACE_COUNT_UNREADABLE,
    TRACE_OUT_OF_RANGE,
    TRACE_NOT_MAPPED,
    TRACE_NO_TEMPERATURE,
    TRACE_LIMIT_UNREADABLE,
    TRACE_LOCKED_OUT,
};

// The machine-wide mutexes: the library's around each export, the controller's around each
// block exchange.
enum TraceLock { TRACE_LIBRARY_LOCK, TRACE_CONTROLLER_LOCK };

enum TraceAttempt { TRACE_ATTEMPT_BUSY, TRACE_ATTEMPT_WRONG_ECHO, TRACE_ATTEMPT_UNREADABLE };

// Stands for the Thermal key where a sensor index is expected.
enum { TRACE_THERMAL_KEY = -1 };

extern int g_traceMode;

// Decides the mode from the environment (at attach).
void ConfigureTrace(void);

// The recorders behind the hooks; called only when tracing is on.
void TraceStartCall(int exportOrdinal, int sensor);
void TraceFinishCall(int result);
void TraceSetPhase(int phase, int count);
void TraceRecordRequest(DWORD code, DWORD error);
void TraceRecordAttempt(int kind);
void TraceRecordBlockRead(WORD result);
void TraceRecordKeyOpen(int index, LSTATUS status);
void TraceRecordValueRead(LPCSTR name, LSTATUS status, DWORD type);
void TraceRecordKeyCreate(int index, LSTATUS status);
void TraceRecordValueWrite(LPCSTR name, LSTATUS status);
void TraceRecordRebuildStart(void);
void TraceRecordSensorInfo(WORD result, DWORD ecx);
void TraceRecordLimits(int index, WORD result);
void TraceRecordRebuildStopped(int index);
void TraceRecordRebuildEnded(int countWritten);
void TraceRecordLockRefused(int lock, LPCSTR name, DWORD ms, int timedOut, DWORD error);

// Starts an export call's record; returns `sensor`.
inline int TraceBegin(int exportOrdinal, int sensor)
{
    if (g_traceMode)
        TraceStartCall(exportOrdinal, sensor);
    return sensor;
}

// Writes the call's line if it failed or rebuilt; returns `result`.
inline int TraceEnd(int result)
{
    if (g_traceMode)
        TraceFinishCall(result);
    return result;
}

// Names the phase in which the call fails; returns `result`.
inline int TracePhase(int phase, int result)
{
    if (g_traceMode)
        TraceSetPhase(phase, 0);
    return result;
}

// Returns `valid`; an invalid ordinal names the out-of-range phase with the stored count.
inline int TraceRange(int valid, int count)
{
    if (g_traceMode && !valid)
        TraceSetPhase(TRACE_OUT_OF_RANGE, count);
    return valid;
}

// Records a failed driver request.
inline void TraceRequestFailed(DWORD code, DWORD error)
{
    if (g_traceMode)
        TraceRecordRequest(code, error);
}

// Records a block-read attempt that did not answer, and why.
inline void TraceBlockAttempt(int kind)
{
    if (g_traceMode)
        TraceRecordAttempt(kind);
}

// Records a wait for machine-wide mutex `lock`, named `name`, that timed out after `ms` or
// failed; called at once after the wait, while its last error is still there. The library's
// is the call's failure; each of the controller's fails one block read as one attempt.
inline void TraceLockRefused(int lock, LPCSTR name, DWORD ms, int timedOut)
{
    if (g_traceMode)
        TraceRecordLockRefused(lock, name, ms, timedOut, timedOut ? 0 : GetLastError());
}

// Records a finished block read; returns its result.
inline WORD TraceBlockRead(WORD result)
{
    if (g_traceMode)
        TraceRecordBlockRead(result);
    return result;
}

// Records an open of a cache key (TRACE_THERMAL_KEY or a sensor index); returns `status`.
inline LSTATUS TraceKeyOpen(int index, LSTATUS status)
{
    if (g_traceMode)
        TraceRecordKeyOpen(index, status);
    return status;
}

// Records a value query of the key opened last; returns `status`.
inline LSTATUS TraceValueRead(LPCSTR name, LSTATUS status)
{
    if (g_traceMode)
        TraceRecordValueRead(name, status, REG_DWORD);
    return status;
}

// Records the type of a value that was read.
inline void TraceValueType(LPCSTR name, DWORD type)
{
    if (g_traceMode)
        TraceRecordValueRead(name, ERROR_SUCCESS, type);
}

// Records a creation of a cache key; returns `status`.
inline LSTATUS TraceKeyCreate(int index, LSTATUS status)
{
    if (g_traceMode)
        TraceRecordKeyCreate(index, status);
    return status;
}

// Records a value write; returns `status`.
inline LSTATUS TraceValueWrite(LPCSTR name, LSTATUS status)
{
    if (g_traceMode)
        TraceRecordValueWrite(name, status);
    return status;
}

// Records that a rebuild starts.
inline void TraceRebuildStart(void)
{
    if (g_traceMode)
        TraceRecordRebuildStart();
}

// Records the firmware's sensor information answer; returns `result`.
inline WORD TraceSensorInfo(WORD result, const DWORD *ecx)
{
    if (g_traceMode)
        TraceRecordSensorInfo(result, *ecx);
    return result;
}

// Records the firmware's limits answer for a physical sensor; returns `result`.
inline WORD TraceSensorLimits(int index, WORD result)
{
    if (g_traceMode)
        TraceRecordLimits(index, result);
    return result;
}

// Records that the rebuild stopped at a sensor's presence flag.
inline void TraceRebuildStopped(int index)
{
    if (g_traceMode)
        TraceRecordRebuildStopped(index);
}

// Records that the rebuild reached the count; `written` is WriteSensorCount's result.
inline void TraceRebuildEnded(int written)
{
    if (g_traceMode)
        TraceRecordRebuildEnded(written);
}

#endif
