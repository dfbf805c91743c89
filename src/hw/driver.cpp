// Requests to the thermal driver.
#include "hw/driver.h"

#include "frame/device_state.h"
#include "frame/trace.h"

namespace {

// Sends a 24-byte request. The output starts as a copy of the input, so that after a failed
// call a byte read yields its own index and a firmware request its request unchanged.
// Returns TRUE on success; on failure `*error` holds the last error.
BOOL SendRequest(DWORD code, const BYTE input[REGISTER_IMAGE_SIZE],
                 BYTE output[REGISTER_IMAGE_SIZE], DWORD *error)
{
    BYTE request[REGISTER_IMAGE_SIZE];
    __builtin_memcpy(request, input, REGISTER_IMAGE_SIZE);
    __builtin_memcpy(output, input, REGISTER_IMAGE_SIZE);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(g_deviceState.deviceHandle, code, request, REGISTER_IMAGE_SIZE,
                              output, REGISTER_IMAGE_SIZE, &returned, NULL);
    *error = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok) TraceRequestFailed(code, *error);
    return ok;
}

// Sends a request whose input is one index byte, stores output byte 0 in `*value` and
// returns TRUE if the request succeeded.
BOOL SendByteRequest(DWORD code, BYTE index, BYTE *value)
{
    BYTE input[REGISTER_IMAGE_SIZE] = {index};
    BYTE output[REGISTER_IMAGE_SIZE];
    DWORD error;
    BOOL ok = SendRequest(code, input, output, &error);
    *value = output[0];
    return ok;
}

} // namespace

BYTE ReadConfigByte(BYTE index)
{
    BYTE value;
    SendByteRequest(IOCTL_READ_CONFIG_BYTE, index, &value);
    return value;
}

void FirmwareRequest(const BYTE request[REGISTER_IMAGE_SIZE], BYTE reply[REGISTER_IMAGE_SIZE])
{
    DWORD error;
    SendRequest(IOCTL_FIRMWARE_REQUEST, request, reply, &error);
}

BYTE ReadControllerByte(BYTE index)
{
    BYTE value;
    TryReadControllerByte(index, &value);
    return value;
}

BOOL TryReadControllerByte(BYTE index, BYTE *value)
{
    return SendByteRequest(IOCTL_READ_CONTROLLER_BYTE, index, value);
}

DWORD WriteControllerByte(BYTE index, BYTE value)
{
    BYTE input[REGISTER_IMAGE_SIZE] = {index, value};
    BYTE output[REGISTER_IMAGE_SIZE];
    DWORD error;
    BOOL ok = SendRequest(IOCTL_WRITE_CONTROLLER_BYTE, input, output, &error);
    return ok ? (DWORD)ok : error;
}

BYTE ControllerBusy(void)
{
    BYTE busy;
    TryControllerBusy(&busy);
    return busy;
}

BOOL TryControllerBusy(BYTE *busy) { return SendByteRequest(IOCTL_CONTROLLER_BUSY, 0, busy); }

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
