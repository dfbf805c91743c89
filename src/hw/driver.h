// Requests to the thermal driver `qorix`: one synchronous DeviceIoControl each.
//
// Return conventions: every request returns TRUE if the driver call succeeded, FALSE if it
// failed. A failed 24-byte request still fills its output, with a copy of its input (a byte
// read yields its own index), and is counted in the request failures below.
#ifndef KOVALTHERM_DRIVER_H
#define KOVALTHERM_DRIVER_H

#include "base/outcomes.h"

// Control codes of the driver's requests.
enum : DWORD {
    IOCTL_READ_CONFIG_BYTE = 0x9C80,
    IOCTL_FIRMWARE_REQUEST = 0x9CC0,
    IOCTL_READ_CONTROLLER_BYTE = 0x9DC0,
    IOCTL_WRITE_CONTROLLER_BYTE = 0x9DD0,
    IOCTL_CONTROLLER_BUSY = 0x9E40,
    IOCTL_PROBE_THERMAL = 0x80012000,
};

// Size of the register image and of the other requests' input and output buffers.
enum { REGISTER_IMAGE_SIZE = 24 };

// Reads configuration byte `index` into `*value`.
BOOL ReadConfigByte(BYTE index, BYTE *value);

// Sends a register image to the firmware; `reply` receives the image as the firmware left it.
BOOL FirmwareRequest(const BYTE request[REGISTER_IMAGE_SIZE], BYTE reply[REGISTER_IMAGE_SIZE]);

// Reads controller byte `index` into `*value`.
BOOL ReadControllerByte(BYTE index, BYTE *value);

// Writes controller byte `index`.
BOOL WriteControllerByte(BYTE index, BYTE value);

// Reads the controller's busy indication into `*busy`: nonzero while busy, 0 after a failure.
BOOL ControllerBusy(BYTE *busy);

// Issues the support probe with the device state's probe buffer, in and out; not counted.
BOOL ProbeThermal(void);

// Returns the 24-byte requests that failed since the last call, and forgets them.
RequestFailures TakeRequestFailures(void);

#endif
