// The firmware's system-management call, reached through the driver's firmware request.
//
// Return conventions: the calls return a 16-bit FirmwareResult, FW_OK (0) on success; every
// caller treats any other value as failure.
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

// Results, from the status the firmware leaves in ah.
enum FirmwareResult : WORD {
    FW_OK = 0,          // status 0x00
    FW_REJECTED = 1,    // status 0x81; also a sensor letter the limits function does not take
    FW_UNSUPPORTED = 2, // status 0x86
    FW_FAILED = 3,      // any other status, also 0x53: a request the driver rejected
    FW_STATUS_A4 = 4,   // status 0xA4
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
// when the driver call failed.
WORD FirmwareCall(RegisterImage *image);

// Asks which sensors exist (si bits 0-7) and whether there is information (cl 0x20).
WORD QuerySensorInfo(RegisterImage *image);

// Asks for the limits of the sensor with letter 'A' + physical index; FW_REJECTED at once,
// without a call, for letters other than 'A' to 'G'.
WORD QuerySensorLimits(char letter, RegisterImage *image);

// Returns the limits laid out in a successful limits answer.
LimitSet DecodeLimits(const RegisterImage *image);

#endif
