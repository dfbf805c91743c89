// Requests to the thermal driver.
#include "hw/driver.h"

#include "base/device_state.h"

namespace {

// Failed requests since the exports last took them; the library lock serialises the calls.
RequestFailures g_requestFailures;

// Sends a 24-byte request. The output starts as a copy of the input, so that after a failed
// call a byte read yields its own index and a firmware request its request unchanged.
BOOL SendRequest(DWORD code, const BYTE input[REGISTER_IMAGE_SIZE],
                 BYTE output[REGISTER_IMAGE_SIZE])
{
    BYTE request[REGISTER_IMAGE_SIZE];
    __builtin_memcpy(request, input, REGISTER_IMAGE_SIZE);
    __builtin_memcpy(output, input, REGISTER_IMAGE_SIZE);
    DWORD returned = 0;
    if (DeviceIoControl(g_deviceState.deviceHandle, code, request, REGISTER_IMAGE_SIZE, output,
                        REGISTER_IMAGE_SIZE, &returned, NULL))
        return TRUE;
    DWORD error = GetLastError();
    if (g_requestFailures.count++ == 0) {
        g_requestFailures.code = code;
        g_requestFailures.error = error;
    }
    return FALSE;
}

// Sends a request whose input is one index byte (and `value` for a write); stores output
// byte 0 in `*answer`.
BOOL SendByteRequest(DWORD code, BYTE index, BYTE value, BYTE *answer)
{
    BYTE input[REGISTER_IMAGE_SIZE] = {index, value};
    BYTE output[REGISTER_IMAGE_SIZE];
    BOOL ok = SendRequest(code, input, output);
    *answer = output[0];
    return ok;
}

} // namespace

BOOL ReadConfigByte(BYTE index, BYTE *value)
{
    return SendByteRequest(IOCTL_READ_CONFIG_BYTE, index, 0, value);
}

BOOL FirmwareRequest(const BYTE request[REGISTER_IMAGE_SIZE], BYTE reply[REGISTER_IMAGE_SIZE])
{
    return SendRequest(IOCTL_FIRMWARE_REQUEST, request, reply);
}

BOOL ReadControllerByte(BYTE index, BYTE *value)
{
    return SendByteRequest(IOCTL_READ_CONTROLLER_BYTE, index, 0, value);
}

BOOL WriteControllerByte(BYTE index, BYTE value)
{
    BYTE answer;
    return SendByteRequest(IOCTL_WRITE_CONTROLLER_BYTE, index, value, &answer);
}

BOOL ControllerBusy(BYTE *busy) { return SendByteRequest(IOCTL_CONTROLLER_BUSY, 0, 0, busy); }

BOOL ProbeThermal(void)
{
    DWORD returned = 0;
    if (DeviceIoControl(g_deviceState.deviceHandle, IOCTL_PROBE_THERMAL, g_deviceState.probeBuffer,
                        PROBE_BUFFER_SIZE, g_deviceState.probeBuffer, PROBE_BUFFER_SIZE,
                        &returned, NULL))
        return TRUE;
    (void)GetLastError();
    return FALSE;
}

RequestFailures TakeRequestFailures(void)
{
    RequestFailures failures = g_requestFailures;
    g_requestFailures = RequestFailures();
    return failures;
}
