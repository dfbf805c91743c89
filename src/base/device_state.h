// The process-wide device state: written while the library attaches, read-only afterwards.
#ifndef KOVALTHERM_DEVICE_STATE_H
#define KOVALTHERM_DEVICE_STATE_H

#include "platform/win32_api.h"

enum {
    DEVICE_PATH_SIZE = 14,   // "\\.\qorix.vxd" and its terminator
    PROBE_BUFFER_SIZE = 478, // the support probe's buffer, in and out
};

struct DeviceState {
    HANDLE deviceHandle;                // open thermal driver; null when none
    char devicePath[DEVICE_PATH_SIZE];  // the device name opened at attach
    int thermalSupported;               // 1 if the machine has thermal support
    WORD firmwarePort;                  // configuration bytes 0x7F:0x7E, when supported
    BYTE probeBuffer[PROBE_BUFFER_SIZE];
};

extern DeviceState g_deviceState;

#endif
