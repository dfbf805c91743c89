// Requests to the thermal driver `qorix`: one synchronous DeviceIoControl each.
#ifndef KOVALTHERM_DRIVER_H
#define KOVALTHERM_DRIVER_H

#include "platform/win32_api.h"

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

// Returns configuration byte `index`; after a failed request, `index` itself.
BYTE ReadConfigByte(BYTE index);

// Sends a register image to the firmware; `reply` receives the image as the firmware left
// it, or a copy of `request` when the driver call failed.
void FirmwareRequest(const BYTE request[REGISTER_IMAGE_SIZE], BYTE reply[REGISTER_IMAGE_SIZE]);

// Returns controller byte `index`; after a failed request, `index` itself.
BYTE ReadControllerByte(BYTE index);

// Reads controller byte `index` into `*value` (`index` itself after a failed request);
// returns TRUE if the request succeeded.
BOOL TryReadControllerByte(BYTE index, BYTE *value);

// Writes controller byte `index`; returns nonzero on success, the last error on failure.
DWORD WriteControllerByte(BYTE index, BYTE value);

// Returns nonzero while the controller is busy; a failed request reads as not busy.
BYTE ControllerBusy(void);

// Polls the busy indication into `*busy` (0 after a failed request); returns TRUE if the
// request succeeded.
BOOL TryControllerBusy(BYTE *busy);

// Issues the support probe with the device state's probe buffer; returns 1 if it succeeded.
int ProbeThermal(void);

#endif
