// The exports as a table, the default notebook's documented answers, and the failure values
// each export may give, for the reliability tests.
#ifndef KOVALTHERM_TESTS_EXPORTS_H
#define KOVALTHERM_TESTS_EXPORTS_H

#include <ostream>
#include <string>

#include "kovaltherm.h"

namespace reliability {

enum ExportId {
    GET_NUM_SENSORS,
    GET_SENSOR_LOCATION,
    READ_TEMPERATURE,
    READ_WARNING_LIMIT,
    READ_CRITICAL_LIMIT,
    READ_TEMP_STATUS,
    SHUTDOWN_LIBRARY,
    EXPORT_COUNT
};

inline const char *ExportName(ExportId id)
{
    static const char *const names[EXPORT_COUNT] = {
        "LMGetNumSensors",    "LMGetSensorLocation", "LMReadTemperature", "LMReadWarningLimit",
        "LMReadCriticalLimit", "LMReadTempStatus",   "ShutdownLibrary"};
    return names[id];
}

// What an out-parameter holds when the export did not touch it.
const int kUntouched = 777;

struct Answer {
    int result;
    int out; // kUntouched for exports without an out-parameter
    bool operator==(const Answer &other) const
    {
        return result == other.result && out == other.out;
    }
};

inline std::string ToString(const Answer &a)
{
    return "(" + std::to_string(a.result) + ", " + std::to_string(a.out) + ")";
}

// Prints an answer in test messages.
inline void PrintTo(const Answer &a, std::ostream *os) { *os << ToString(a); }

// Calls one export the way an application would.
inline Answer Invoke(ExportId id, int ordinal)
{
    int out = kUntouched;
    switch (id) {
    case GET_NUM_SENSORS: return {LMGetNumSensors(), kUntouched};
    case GET_SENSOR_LOCATION: return {LMGetSensorLocation(ordinal, &out), out};
    case READ_TEMPERATURE: return {LMReadTemperature(ordinal, &out), out};
    case READ_WARNING_LIMIT: return {LMReadWarningLimit(ordinal, &out), out};
    case READ_CRITICAL_LIMIT: return {LMReadCriticalLimit(ordinal, &out), out};
    case READ_TEMP_STATUS: return {LMReadTempStatus(ordinal, &out), out};
    default: ShutdownLibrary(); return {0, kUntouched};
    }
}

// The default notebook: sensors 0, 1 and 3 present, temperatures 52, 41 and 47, warning
// limits (normal, high) 85/90, 60/65, 70/75 and critical 95/98, 70/75, 85/90; location codes
// of physical sensors 0, 1 and 3 are 2, 4 and 1. Every temperature is below its warning
// bound, so the status is normal (1).
const int kDefaultCount = 3;

inline Answer DefaultAnswer(ExportId id, int ordinal)
{
    static const int location[] = {2, 4, 1};
    static const int temperature[] = {52, 41, 47};
    static const int warning[] = {90, 65, 75};
    static const int critical[] = {98, 75, 90};
    bool valid = ordinal >= 0 && ordinal < kDefaultCount;
    switch (id) {
    case GET_NUM_SENSORS: return {kDefaultCount, kUntouched};
    case SHUTDOWN_LIBRARY: return {0, kUntouched};
    default: break;
    }
    if (!valid)
        return {0, kUntouched};
    switch (id) {
    case GET_SENSOR_LOCATION: return {1, location[ordinal]};
    case READ_TEMPERATURE: return {1, temperature[ordinal]};
    case READ_WARNING_LIMIT: return {1, warning[ordinal]};
    case READ_CRITICAL_LIMIT: return {1, critical[ordinal]};
    default: return {1, 1};
    }
}

// True if `a` is one of the failure answers the export documents, where the cache held the
// right values: 0 with the out-parameter untouched after a failed validation; 0 with -1 when
// the ordinal did not map or the limit could not be read; 0 with -100 when no temperature
// was read; LMReadTempStatus's 1 with status 0 (no temperature, or no limits to classify it
// by). Nothing else: a 1 with any value but the right one is a wrong answer.
inline bool IsFailureAnswer(ExportId id, const Answer &a)
{
    Answer untouched{0, kUntouched};
    switch (id) {
    case GET_NUM_SENSORS: return a.result == 0;
    case GET_SENSOR_LOCATION:
    case READ_WARNING_LIMIT:
    case READ_CRITICAL_LIMIT: return a == untouched || a == Answer{0, -1};
    case READ_TEMPERATURE: return a == untouched || a == Answer{0, -100};
    case READ_TEMP_STATUS: return a == untouched || a == Answer{1, 0};
    default: return false;
    }
}

// True if `a` lies in the export's documented range: what a cache holding any content may
// produce without a fault. `storedNegative` is the negative value a damaged cache holds for
// the limit the export reads, which a failed limit read passes through (-1 when none).
inline bool IsInRange(ExportId id, const Answer &a, int storedNegative = -1)
{
    switch (id) {
    case GET_NUM_SENSORS: return a.result >= 0;
    case SHUTDOWN_LIBRARY: return a == Answer{0, kUntouched};
    default: break;
    }
    if (a.result == 0 && a.out == kUntouched)
        return true;
    switch (id) {
    case GET_SENSOR_LOCATION:
        return (a.result == 1 && a.out >= 0 && a.out <= 9) || a == Answer{0, -1};
    case READ_TEMPERATURE:
        return (a.result == 1 && a.out >= 0 && a.out <= 255) || a == Answer{0, -100};
    case READ_WARNING_LIMIT:
    case READ_CRITICAL_LIMIT:
        return (a.result == 1 && a.out >= 0) || a == Answer{0, -1} ||
               a == Answer{0, storedNegative};
    case READ_TEMP_STATUS: return a.result == 1 && a.out >= 0 && a.out <= 3;
    default: return false;
    }
}

} // namespace reliability

#endif
