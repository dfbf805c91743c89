// The library's entry point. Windows' loader calls it when a program loads and frees
// Kovaltherm.dll; on the host, where the library is linked into the program, the program plays
// the loader (ktsensors, libkovaltherm.so, the tests) and calls it through this header alone.
//
// Return conventions: DllMain returns TRUE or FALSE, as the loader expects.
#ifndef KOVALTHERM_ENTRY_H
#define KOVALTHERM_ENTRY_H

#include "platform/win32_api.h"

// The loader's entry point: attach opens the driver and returns FALSE if it cannot; every
// other reason returns TRUE.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

#endif
