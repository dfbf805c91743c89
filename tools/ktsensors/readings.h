// One reading of every sensor through the library's exports, and its text and JSON forms.
#ifndef KTSENSORS_READINGS_H
#define KTSENSORS_READINGS_H

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
    int sensorCount = 0;   // LMGetNumSensors; 0 = no sensors (or no thermal support)
    std::vector<SensorReading> sensors;
};

// Reads every sensor: the count, then per sensor its location, temperature, limits and status.
Reading TakeReading(const Exports &library, Backend &backend, uint64_t number);

// Export calls of a reading that failed, as "Export(ordinal)"; an empty count is one failure.
std::vector<std::string> FailedCalls(const Reading &reading);

// The reading in the manner of lm-sensors' `sensors`.
std::string FormatText(const Reading &reading);

// The reading as one JSON document on one line.
std::string FormatJson(const Reading &reading);

// The name of a status value: normal, warning, critical, no status.
std::string StatusName(int status);

} // namespace ktsensors

#endif
