// What the layers below the exports report besides their results. Each layer fills its own
// record as it goes, or returns it; the exports gather the records into their report
// (base/diagnostics.h).
#ifndef KOVALTHERM_OUTCOMES_H
#define KOVALTHERM_OUTCOMES_H

#include "platform/win32_api.h"

// Stands for the Thermal key where a sensor index names a cache key.
enum { CACHE_THERMAL_KEY = -1 };

// The failures of cache operations: the first read and the first value write that failed,
// and the last key that could not be created. Zeroed, nothing has failed.
struct CacheOutcome {
    int readFailed;
    int readKey;         // CACHE_THERMAL_KEY or a sensor index
    LPCSTR readValue;    // null when the key itself did not open
    LSTATUS readStatus;  // ERROR_SUCCESS when the value was not a REG_DWORD
    DWORD readType;
    LPCSTR writeValue;   // null while every write succeeded
    LSTATUS writeStatus;
    int createFailed;
    int createKey;
    LSTATUS createStatus;
};

// A wait for a machine-wide mutex that did not give it.
struct LockWait {
    LPCSTR name;
    DWORD ms;
    int timedOut;
    DWORD error; // when the wait failed
};

// What controller block reads went through: the reads that got no answer, and their failed
// attempts by cause.
struct BlockReads {
    int failed;
    int busy;
    int wrongEcho;
    int unreadable;     // an answer byte the driver did not read
    int withoutMutex;   // reads refused the controller's mutex, one attempt each
    LockWait mutexWait; // the last of those
};

// How a cache rebuild ended.
enum RebuildEnd {
    REBUILD_NOT_RUN,               // the cache looked present and no rebuild was forced
    REBUILD_COMPLETE,
    REBUILD_NO_THERMAL_KEY,        // the Thermal key could not be created
    REBUILD_NO_SENSOR_INFO,        // the firmware refused the sensor information
    REBUILD_NO_INFORMATION,        // the firmware has no thermal information
    REBUILD_PRESENCE_NOT_WRITTEN,  // at stopIndex
    REBUILD_COUNT_NOT_WRITTEN,
};

struct RebuildOutcome {
    int end;            // RebuildEnd
    int stopIndex;
    WORD infoResult;    // for REBUILD_NO_SENSOR_INFO
    int limitsMissing;  // the firmware gave no limits for a sensor: the first one
    int limitsIndex;
    WORD limitsResult;
    CacheOutcome cache; // the rebuild's own reads and writes
};

// Driver requests that failed: how many, and the first one's control code and error.
struct RequestFailures {
    int count;
    DWORD code;
    DWORD error;
};

#endif
