// The library's entry point, and the device names and configuration bytes of the attach.
//
// Return conventions: DllMain returns TRUE or FALSE, as the loader expects.
#ifndef KOVALTHERM_ENTRY_H
#define KOVALTHERM_ENTRY_H

#include "platform/win32_api.h"

// Device names of the thermal driver, by OS family.
#define DEVICE_PATH_NT "\\\\.\\qorix"
#define DEVICE_PATH_9X "\\\\.\\qorix.vxd"

// Configuration bytes holding the firmware port's low and high byte.
enum { CONFIG_PORT_LOW = 0x7E, CONFIG_PORT_HIGH = 0x7F };

// The loader's entry point: attach opens the driver and returns FALSE if it cannot; every
// other reason returns TRUE.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

#endif
