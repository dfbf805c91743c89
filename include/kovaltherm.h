/* Kovaltherm.dll: thermal sensors of the notebook, for applications.
 *
 * Every function uses the cdecl calling convention. Sensors are named by an ordinal,
 * 0 to LMGetNumSensors() - 1, counting only the sensors that are present. The functions
 * that take an out-parameter return 1 on success and 0 on failure; a failed call may
 * still have written a failure value to the out-parameter, as noted below. A null
 * out-parameter makes the call return 0 without doing anything. Calls of every process on
 * the machine take turns: a call that waits more than 40 s for its turn fails as noted
 * below ("busy"), having read and changed nothing.
 */
#ifndef KOVALTHERM_H
#define KOVALTHERM_H

#if defined(_WIN32) && !defined(KOVALTHERM_CDECL)
#define KOVALTHERM_CDECL __cdecl
#elif !defined(KOVALTHERM_CDECL)
#define KOVALTHERM_CDECL
#endif

#ifndef KOVALTHERM_API
#define KOVALTHERM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status values written by LMReadTempStatus. */
#define KOVALTHERM_STATUS_NONE 0
#define KOVALTHERM_STATUS_NORMAL 1
#define KOVALTHERM_STATUS_WARNING 2
#define KOVALTHERM_STATUS_CRITICAL 3

/* Temperature written by LMReadTemperature when none could be read. */
#define KOVALTHERM_NO_TEMPERATURE (-100)

/* The environment variable read when the library loads that turns on its diagnostic lines
 * (why a call failed): "stderr" writes them to standard error; unset, empty or "0" leaves
 * them off; any other value sends them to the debugger (OutputDebugStringA). */
#define KOVALTHERM_TRACE_VARIABLE "KOVALTHERM_TRACE"

/* Returns the number of present sensors, or 0 when there is none, the machine has no
 * thermal support, the sensor cache could not be read (it is then rebuilt), or busy. */
KOVALTHERM_API int KOVALTHERM_CDECL LMGetNumSensors(void);

/* Writes the sensor's location code and returns 1; returns 0 on failure, with -1 in
 * *location when the ordinal maps to no present sensor, or busy. Location codes are numbers
 * the library gives no names: 1 to 9 by physical sensor, and 0 for a sensor the cache lists
 * past the eight physical ones (a "Sensor 8" key marked present, which only an edited or
 * damaged cache holds). */
KOVALTHERM_API int KOVALTHERM_CDECL LMGetSensorLocation(int ordinal, int *location);

/* Writes the sensor's temperature (0 to 255) and returns 1; returns 0 on failure, with
 * KOVALTHERM_NO_TEMPERATURE in *temperature when the controller gave no reading, or busy. */
KOVALTHERM_API int KOVALTHERM_CDECL LMReadTemperature(int ordinal, int *temperature);

/* Writes the sensor's warning limit and returns 1; returns 0 on failure, with -1 (or the
 * stored negative value) in *limit when the limit could not be read, or -1 when busy. */
KOVALTHERM_API int KOVALTHERM_CDECL LMReadWarningLimit(int ordinal, int *limit);

/* Writes the sensor's critical limit and returns 1; returns 0 on failure, with -1 (or the
 * stored negative value) in *limit when the limit could not be read, or -1 when busy. */
KOVALTHERM_API int KOVALTHERM_CDECL LMReadCriticalLimit(int ordinal, int *limit);

/* Writes the sensor's status (KOVALTHERM_STATUS_*) and returns 1; the status is
 * KOVALTHERM_STATUS_NONE when no temperature could be read, or busy. Returns 0, leaving *status
 * untouched, for an invalid ordinal or a machine without thermal support. */
KOVALTHERM_API int KOVALTHERM_CDECL LMReadTempStatus(int ordinal, int *status);

/* Does nothing; the library keeps working after it. */
KOVALTHERM_API void KOVALTHERM_CDECL ShutdownLibrary(void);

#ifdef __cplusplus
}
#endif

#endif /* KOVALTHERM_H */
