// Requests to the thermal driver.
#include "hw/driver.h"

#include "frame/device_state.h"

namespace {

// Sends a 24-byte request. The output starts as a copy of the input, so that after a failed
// call a byte read yields its own index and a firmware request its request unchanged.
// Returns TRUE on success; on failure `*error` holds the last error.
BOOL SendRequest(DWORD code, const BYTE input[REGISTER_IMAGE_SIZE],
                 BYTE output[REGISTER_IMAGE_SIZE], DWORD *error)
{
    BYTE request[REGISTER_IMAGE_SIZE];
    for (int i = 0; i < REGISTER_IMAGE_SIZE; ++i)
        output[i] = request[i] = input[i];
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(g_deviceState.deviceHandle, code, request, REGISTER_IMAGE_SIZE,
                              output, REGISTER_IMAGE_SIZE, &returned, NULL);
    *error = ok ? ERROR_SUCCESS : GetLastError();
    return ok;
}

// Sends a request whose input is one index byte (and an optional value byte) and returns
// output byte 0.
BYTE SendByteRequest(DWORD code, BYTE index)
{
    BYTE input[REGISTER_IMAGE_SIZE] = {index};
    BYTE output[REGISTER_IMAGE_SIZE];
    DWORD error;
    SendRequest(code, input, output, &error);
    return output[0];
}

} // namespace

BYTE ReadConfigByte(BYTE index) { return SendByteRequest(IOCTL_READ_CONFIG_BYTE, index); }

void FirmwareRequest(const BYTE request[REGISTER_IMAGE_SIZE], BYTE reply[REGISTER_IMAGE_SIZE])
{
    DWORD error;
    SendRequest(IOCTL_FIRMWARE_REQUEST, request, reply, &error);
}

BYTE ReadControllerByte(BYTE index) { return SendByteRequest(IOCTL_READ_CONTROLLER_BYTE, index); }

DWORD WriteControllerByte(BYTE index, BYTE value)
{
    BYTE input[REGISTER_IMAGE_SIZE] = {index, value};
    BYTE output[REGISTER_IMAGE_SIZE];
    DWORD error;
    BOOL ok = SendRequest(IOCTL_WRITE_CONTROLLER_BYTE, input, output, &error);
    return ok ? (DWORD)ok : error;
}

BYTE ControllerBusy(void) { return SendByteRequest(IOCTL_CONTROLLER_BUSY, 0); }

int ProbeThermal(void)
{
    DWORD returned = 0;
    if (DeviceIoControl(g_deviceState.deviceHandle, IOCTL_PROBE_THERMAL, g_deviceState.probeBuffer,
                        PROBE_BUFFER_SIZE, g_deviceState.probeBuffer, PROBE_BUFFER_SIZE,
                        &returned, NULL))
        return 1;
    (void)GetLastError();
    return 0;
}
