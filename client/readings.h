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
#include "sensor_config.h"

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
    // From the owner's sensor configuration: the label ("" for none), the owner's thresholds
    // (kNoThreshold for none), and where one is set the owner's state at this reading.
    std::string label;
    int ownerWarning = kNoThreshold, ownerCritical = kNoThreshold;
    int ownerState = kOwnerNone;

    bool HasOwnerLimits() const { return ownerWarning != kNoThreshold || ownerCritical != kNoThreshold; }
};

// The sensor as every output names it: "sensor 0 (location 2)", with the owner's label
// "sensor 0 (location 2, CPU)".
std::string SensorName(const SensorReading &s);

// What a run applies to its readings: the owner's sensor configuration, read again before
// each, and the owner's alarms, carried from one reading to the next for as long as the run
// lasts. `report`, if set, hears of each change of the configuration's problem: the problem,
// or "" when the configuration is valid again. `adminOnly`: as ReadSensorConfigFile (the
// service).
struct OwnerSettings {
    explicit OwnerSettings(const std::string &configPath = "", bool adminOnly = false) : source(configPath, adminOnly)
    {
    }
    SensorConfigSource source;
    OwnerStates states;
    std::function<void(const std::string &problem)> report;
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
    // At most kMaxSensors, but for those the owner's configuration ignores.
    std::vector<SensorReading> sensors;
    int ignoredSensors = 0; // sensors left out as the owner's configuration says
    // Whether the sensor configuration read before the reading was taken; if not, why not and
    // what stays in effect.
    bool configValid = true;
    std::string configProblem;
    // Wall-clock time of the last successful reading of this process (this one included),
    // milliseconds since 1970; 0 when none has succeeded yet.
    int64_t lastSuccessWallMs = 0;
};

// Reads every sensor: the count, then per sensor its location, temperature, limits and status;
// at most kMaxSensors of them, and none past a change of the sensor set: once a call fails
// without touching its out-value (the library no longer takes the ordinal), the count is asked
// again, and if it changed the reading ends, without the sensor under way.
// With `owner`, its configuration is read again first, and applied: a sensor it ignores is
// left out after its location (no further call is made for it), the others get their labels,
// the owner's thresholds and the owner's state.
// Once `*stop` is set (by a signal handler, or the service's stop), the reading is abandoned,
// left incomplete, before the next export call: only the call under way still finishes.
// Before the reading, and after a call that failed or took a second or more, `gone` (if given)
// says whether the machine went away: then the reading ends there as one without the library
// (kovaltherm_up 0), rather than wait out every call.
Reading TakeReading(const Exports &library, MachineClock &clock, uint64_t number,
                    const volatile sig_atomic_t *stop = nullptr, const std::function<bool()> &gone = nullptr,
                    OwnerSettings *owner = nullptr);

// A reading for when the library could not be loaded: nothing read, kovaltherm_up 0; with
// `owner`, whether its configuration is valid.
Reading UnloadedReading(MachineClock &clock, uint64_t number, OwnerSettings *owner = nullptr);

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
