// Opt-in diagnostics: each export call fills one report of what it went through, and at its
// end a line is written from it if the call failed or rebuilt the cache, naming the export,
// the phase that failed and its cause. Off unless KOVALTHERM_TRACE is set when the library
// attaches; when off, nothing is formatted or written.
//
// Return conventions: none; the diagnostics never change what a call answers.
//
// Line format (stable; tools may parse it):
//   kovaltherm: <export>(#<export ordinal>)[ sensor <n>]: <phase>[: <cause>][; <rebuild>][; <driver>]
// <phase>   no thermal support | sensor count unreadable | ordinal not among the <c> present sensors
//           | sensor maps to no present sensor | no temperature | limit unreadable | cache absent
//           | library mutex not acquired
// <cause>   <b> block read(s) failed, <a> attempts: <x> busy, <y> wrong echo, <z> unreadable
//             [, <l> without the controller mutex (<wait>)]
//           | <wait>
//           | key <key> missing | registry error <e> opening <key>
//           | "<value>" missing in <key> | "<value>" in <key> is of type <t>, not REG_DWORD
//           | "<value>" in <key> too long | registry error <e> reading "<value>" in <key>
//           | the sensor has no temperature byte | too few sensors flagged present
//           | stored value is negative
// <rebuild> rebuild ran to the end[, firmware gave no limits for Sensor <i> (result <r>)]
//           [, "<value>" not written (error <e>)]
//           | rebuild stopped: firmware gave no sensor information (result <r>)
//           | rebuild stopped: firmware has no thermal information
//           | rebuild stopped[ at Sensor <i>]: <write>
//           ("<k> rebuilds, the last" for "rebuild" when the call rebuilt more than once)
// <driver>  driver request 0x<code> failed with error <e>[ (<k> failed requests)]
// <key>     "Thermal" | "Sensor <i>"
// <wait>    the wait for "<mutex>" timed out after <ms> ms | the wait for "<mutex>" failed with
//           error <e>
// <write>   key <key> not created (error <e>) | "<value>" not written (error <e>) | write refused
#ifndef KOVALTHERM_DIAGNOSTICS_H
#define KOVALTHERM_DIAGNOSTICS_H

#include "base/outcomes.h"

// The exports' ordinals in the export table.
enum ExportOrdinal {
    EXPORT_GET_NUM_SENSORS = 1,
    EXPORT_GET_SENSOR_LOCATION = 2,
    EXPORT_READ_CRITICAL_LIMIT = 3,
    EXPORT_READ_TEMP_STATUS = 4,
    EXPORT_READ_TEMPERATURE = 5,
    EXPORT_READ_WARNING_LIMIT = 6,
};

// The phase in which a call failed; PHASE_NONE for a call that did not (it may still have
// rebuilt the cache).
enum CallPhase {
    PHASE_NONE,
    PHASE_NO_SUPPORT,
    PHASE_COUNT_UNREADABLE,
    PHASE_OUT_OF_RANGE,
    PHASE_NOT_MAPPED,
    PHASE_NO_TEMPERATURE,
    PHASE_LIMIT_UNREADABLE,
    PHASE_LOCKED_OUT,
};

// What one export call went through, gathered by the export on its stack.
struct CallReport {
    int exportOrdinal;
    int sensor;
    int phase;
    int count;               // the stored count, for PHASE_OUT_OF_RANGE
    CacheOutcome cache;      // the export's own cache reads (a rebuild's are its own)
    BlockReads blocks;
    LockWait libraryWait;    // for PHASE_LOCKED_OUT
    int rebuilds;
    RebuildOutcome rebuild;  // the last one
    RequestFailures requests;
};

// Decides the mode from the environment (at attach): KOVALTHERM_TRACE_VARIABLE of the
// public header.
void ConfigureTrace(void);

// Writes the report's line if tracing is on and the call failed or rebuilt the cache.
void WriteReport(const CallReport *report);

#endif
