// One reading of every sensor through the library's exports, and its text and JSON forms.
#ifndef KTSENSORS_READINGS_H
#define KTSENSORS_READINGS_H

#include <signal.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "backend.h"

namespace ktsensors {

// One export call: whether it succeeded, and the value it gave when it did.
struct Call {
    bool ok = false;
    int value = 0;
};

struct SensorReading {
    int ordinal = 0;
    uint64_t timeMs = 0;   // machine clock when this sensor's reads began
    Call location, temperature, warningLimit, criticalLimit, status;
};

struct Reading {
    uint64_t number = 1;   // 1 for the first reading of a run
    uint64_t timeMs = 0;
    int64_t wallMs = 0;    // wall-clock time of the reading, milliseconds since 1970 (UTC)
    bool loaded = true;    // whether the library was loaded; false: nothing was read
    int sensorCount = 0;   // LMGetNumSensors; 0 = no sensors (or no thermal support)
    std::vector<SensorReading> sensors;
    // Wall-clock time of the last successful reading of this process (this one included),
    // milliseconds since 1970; 0 when none has succeeded yet.
    int64_t lastSuccessWallMs = 0;
};

// Reads every sensor: the count, then per sensor its location, temperature, limits and status.
// Once `*stop` is set (by a signal handler, or the service's stop), the reading ends at its
// next check, between two calls, and is left incomplete.
Reading TakeReading(const Exports &library, MachineClock &clock, uint64_t number,
                    const volatile sig_atomic_t *stop = nullptr);

// A reading for when the library could not be loaded: nothing read, kovaltherm_up 0.
Reading UnloadedReading(MachineClock &clock, uint64_t number);

// Whether the reading succeeded: the library loaded, gave the sensor count and every
// sensor's temperature. Such a reading moves the last-success time.
bool ReadingSucceeded(const Reading &reading);

// Export calls of a reading that failed, as "Export(ordinal)"; an empty count is one failure.
std::vector<std::string> FailedCalls(const Reading &reading);

// The reading in the manner of lm-sensors' `sensors`; `degreeSign` writes "°C" for "C".
std::string FormatText(const Reading &reading, bool degreeSign = false);

// The reading as one JSON document on one line.
std::string FormatJson(const Reading &reading);

// The reading in the schema of lm-sensors' `sensors -j`: the chip, its adapter, then one
// feature per sensor with temp<N>_input, _max (warning limit), _crit and the alarms; a value
// whose call failed is left out. Laid out as sensors -j does, or on one line.
std::string FormatSensorsJson(const Reading &reading, bool oneLine = false);

// The reading in Prometheus' text exposition format, as node_exporter's and windows_exporter's
// textfile collectors read it: the health of the reading (kovaltherm_up, the last success),
// gauges labelled by sensor and location, the status also as a state set, failed calls, and
// the reading's time. ASCII only, LF line ends, newline-terminated, no sample timestamps.
std::string FormatPrometheus(const Reading &reading);

// `wallMs` (milliseconds since 1970, UTC) in RFC 3339: "2026-12-08T07:12:28.123Z".
std::string Rfc3339(int64_t wallMs);

// Whether the locale in LC_ALL, LC_CTYPE or LANG (the first one set) uses UTF-8.
bool Utf8Locale();

// The name of a status value: normal, warning, critical, no status.
std::string StatusName(int status);

} // namespace ktsensors

#endif
