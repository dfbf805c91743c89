// The firmware's system-management call, reached through the driver's firmware request.
#ifndef KOVALTHERM_FIRMWARE_H
#define KOVALTHERM_FIRMWARE_H

#include "platform/win32_api.h"

// The processor registers the firmware is entered with and leaves: 24 bytes, six 32-bit
// little-endian fields.
struct RegisterImage {
    DWORD eax; // al, ah = status on return
    DWORD ebx; // bx = function number
    DWORD ecx; // cl, ch; cx = limit flags
    DWORD edx; // dx = firmware port
    DWORD esi; // si = presence bitmap; limit slots 0 and 1
    DWORD edi; // limit slots 2 and 3
};

// One sensor's limits as the firmware gives them, each 0-255; 128 when none was given.
struct LimitSet {
    int warningNormal;
    int warningHigh;
    int criticalNormal;
    int criticalHigh;
};

enum : WORD {
    FW_CALL_AX = 0x5380,
    FW_FUNCTION_SENSOR_INFO = 0x8260,
    FW_FUNCTION_SENSOR_LIMITS = 0x8262,
};

enum {
    FW_INFO_AVAILABLE = 0x20, // cl flag: thermal sensor information is available
    FW_NO_LIMIT = 128,        // limit value when the firmware names no slot
};

// Calls the firmware with the image (ax and dx set here) and leaves the answer in it, also
// when the driver call failed. Returns 0 on success, else 1 to 4 from the status in ah.
WORD FirmwareCall(RegisterImage *image);

// Asks which sensors exist (si bits 0-7) and whether there is information (cl 0x20).
// Returns FirmwareCall's result.
WORD QuerySensorInfo(RegisterImage *image);

// Asks for the limits of the sensor with letter 'A' + physical index. Returns 1 at once for
// letters other than 'A' to 'G', else FirmwareCall's result.
WORD QuerySensorLimits(char letter, RegisterImage *image);

// Returns the limits laid out in a successful limits answer.
LimitSet DecodeLimits(const RegisterImage *image);

#endif
