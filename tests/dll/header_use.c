/* Compiled as C and as C++, under mingw and in MSVC mode: the header must declare every
 * export with exactly these cdecl types. */
#include "kovaltherm.h"

typedef int(__cdecl *CountFunction)(void);
typedef int(__cdecl *QueryFunction)(int, int *);
typedef void(__cdecl *ShutdownFunction)(void);

#ifdef __cplusplus
extern "C" {
#endif

int KovalthermHeaderUse(void)
{
    CountFunction count = LMGetNumSensors;
    QueryFunction queries[6];
    ShutdownFunction shutdown = ShutdownLibrary;
    queries[0] = LMGetSensorLocation;
    queries[1] = LMReadTemperature;
    queries[2] = LMReadWarningLimit;
    queries[3] = LMReadCriticalLimit;
    queries[4] = LMReadTempStatus;
    queries[5] = 0;
    (void)shutdown;
    return (count != 0) + (queries[0] != 0) + KOVALTHERM_STATUS_CRITICAL +
           KOVALTHERM_NO_TEMPERATURE;
}

#ifdef __cplusplus
}
#endif
