// The library's seven exports as an application reaches them: the table every program of ours
// calls them through, whether the library is Kovaltherm.dll loaded by full path
// (library_windows.h) or the host runtime linked in (backend_linux.cpp).
#ifndef KTSENSORS_EXPORTS_H
#define KTSENSORS_EXPORTS_H

#include "kovaltherm.h"

namespace ktsensors {

struct Exports {
    int(KOVALTHERM_CDECL *GetNumSensors)(void) = nullptr;
    int(KOVALTHERM_CDECL *GetSensorLocation)(int, int *) = nullptr;
    int(KOVALTHERM_CDECL *ReadTemperature)(int, int *) = nullptr;
    int(KOVALTHERM_CDECL *ReadWarningLimit)(int, int *) = nullptr;
    int(KOVALTHERM_CDECL *ReadCriticalLimit)(int, int *) = nullptr;
    int(KOVALTHERM_CDECL *ReadTempStatus)(int, int *) = nullptr;
    void(KOVALTHERM_CDECL *Shutdown)(void) = nullptr;
};

} // namespace ktsensors

#endif
