// One reading of every sensor through the library's exports.
#ifndef KTSENSORS_READINGS_H
#define KTSENSORS_READINGS_H

#include <signal.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "backend.h"
#include "max_sensors.h"

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

// The export calls of a sensor's reading, in order, with the field each fills.
struct SensorCall {
    Call SensorReading::*member;
    const char *exportName;
    int(KOVALTHERM_CDECL *Exports::*query)(int, int *);
};
const size_t kSensorCallCount = 5;
extern const SensorCall kSensorCalls[kSensorCallCount];

struct Reading {
    uint64_t number = 1;   // 1 for the first reading of a run
    uint64_t timeMs = 0;
    int64_t wallMs = 0;    // wall-clock time of the reading, milliseconds since 1970 (UTC)
    bool loaded = true;    // whether the library was loaded; false: nothing was read
    int sensorCount = 0;   // LMGetNumSensors; 0 = no sensors (or no thermal support)
    // LMGetNumSensors asked again when the library refused an ordinal below sensorCount: the
    // sensor set changed (the library rebuilt its cache), and the reading ended there; -1 when
    // it did not happen.
    int countAfterChange = -1;
    std::vector<SensorReading> sensors; // at most kMaxSensors
    // Wall-clock time of the last successful reading of this process (this one included),
    // milliseconds since 1970; 0 when none has succeeded yet.
    int64_t lastSuccessWallMs = 0;
};

// Reads every sensor: the count, then per sensor its location, temperature, limits and status;
// at most kMaxSensors of them, and none past a change of the sensor set: once a call fails
// without touching its out-value (the library no longer takes the ordinal), the count is asked
// again, and if it changed the reading ends, without the sensor under way.
// Once `*stop` is set (by a signal handler, or the service's stop), the reading is abandoned,
// left incomplete, before the next export call: only the call under way still finishes.
// Before the reading, and after a call that failed or took a second or more, `gone` (if given)
// says whether the machine went away: then the reading ends there as one without the library
// (kovaltherm_up 0), rather than wait out every call.
Reading TakeReading(const Exports &library, MachineClock &clock, uint64_t number,
                    const volatile sig_atomic_t *stop = nullptr, const std::function<bool()> &gone = nullptr);

// A reading for when the library could not be loaded: nothing read, kovaltherm_up 0.
Reading UnloadedReading(MachineClock &clock, uint64_t number);

// Whether the reading succeeded: the library loaded, gave a sensor count that held and that it
// can map, and every sensor's temperature. Such a reading moves the last-success time.
bool ReadingSucceeded(const Reading &reading);

// Whether the reading's sensor count failed: none, more than the library can map, or one that
// changed during the reading.
bool CountFailed(const Reading &reading);

// Why the reading's sensor count failed, in words; "" when it did not.
std::string CountProblem(const Reading &reading);

// Export calls of a reading that failed, as "Export(ordinal)"; a failed count is one failure,
// "LMGetNumSensors".
std::vector<std::string> FailedCalls(const Reading &reading);

// The name of a status value: normal, warning, critical, no status.
std::string StatusName(int status);

} // namespace ktsensors

#endif
