// One reading of every sensor through the library's exports.
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

// The export calls of a sensor's reading, in order, with the field each fills.
struct SensorCall {
    Call SensorReading::*member;
    const char *exportName;
};
const size_t kSensorCallCount = 5;
extern const SensorCall kSensorCalls[kSensorCallCount];

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
// Once `*stop` is set (by a signal handler, or the service's stop), the reading is abandoned,
// left incomplete, at its next check: before a sensor's status is read (which moves the state
// the library keeps for it), or before the next sensor. So the export under way and the rest
// of that sensor's location, temperature and limit reads still finish.
Reading TakeReading(const Exports &library, MachineClock &clock, uint64_t number,
                    const volatile sig_atomic_t *stop = nullptr);

// A reading for when the library could not be loaded: nothing read, kovaltherm_up 0.
Reading UnloadedReading(MachineClock &clock, uint64_t number);

// Whether the reading succeeded: the library loaded, gave the sensor count and every
// sensor's temperature. Such a reading moves the last-success time.
bool ReadingSucceeded(const Reading &reading);

// Export calls of a reading that failed, as "Export(ordinal)"; an empty count is one failure.
std::vector<std::string> FailedCalls(const Reading &reading);

// The name of a status value: normal, warning, critical, no status.
std::string StatusName(int status);

} // namespace ktsensors

#endif
