// The firmware management call: register image, status mapping and the two functions.
#include "hw/firmware.h"

#include "base/device_state.h"
#include "hw/driver.h"

static_assert(sizeof(RegisterImage) == REGISTER_IMAGE_SIZE, "register image is 24 bytes");

namespace {

struct StatusMapping {
    WORD status;
    WORD result;
};

// Firmware status (ah) to result, searched in order; anything else maps to FW_FAILED.
const StatusMapping FW_STATUS_TABLE[] = {
    {0x00, FW_OK},     {0x53, FW_FAILED}, {0x81, FW_REJECTED}, {0x86, FW_UNSUPPORTED},
    {0x90, FW_FAILED}, {0x91, FW_FAILED}, {0xA0, FW_FAILED},   {0xA1, FW_FAILED},
    {0xA2, FW_FAILED}, {0xA3, FW_FAILED}, {0xA4, FW_STATUS_A4}, {0xA5, FW_FAILED},
};

const char FIRST_LIMITS_LETTER = 'A';
const char LAST_LIMITS_LETTER = 'G';

// Replaces the low 16 bits of a register.
DWORD SetLowWord(DWORD reg, WORD value) { return (reg & 0xFFFF0000u) | value; }

// Returns the first nibble n (0-3) of cx whose bit `bit` is set, or 0 if none is.
int FindSlot(DWORD cx, int bit)
{
    for (int n = 0; n < 4; ++n)
        if (cx & (1u << (4 * n + bit)))
            return n;
    return 0;
}

// Fills a limit pair from slot n (0-3), the image bytes at offsets 16 + 2n and 17 + 2n; slot 0
// is never read and gives FW_NO_LIMIT twice.
void TakePair(const RegisterImage *image, int slot, int *normal, int *high)
{
    DWORD reg = slot < 2 ? image->esi : image->edi;
    int shift = (slot % 2) * 16;
    *normal = slot > 0 ? (int)((reg >> shift) & 0xFF) : FW_NO_LIMIT;
    *high = slot > 0 ? (int)((reg >> (shift + 8)) & 0xFF) : FW_NO_LIMIT;
}

} // namespace

WORD FirmwareCall(RegisterImage *image)
{
    RegisterImage request = *image;
    request.eax = SetLowWord(request.eax, FW_CALL_AX);
    request.edx = SetLowWord(request.edx, g_deviceState.firmwarePort);
    FirmwareRequest((const BYTE *)&request, (BYTE *)image);
    WORD ah = (WORD)((image->eax >> 8) & 0xFF);
    for (unsigned i = 0; i < sizeof FW_STATUS_TABLE / sizeof FW_STATUS_TABLE[0]; ++i)
        if (FW_STATUS_TABLE[i].status == ah)
            return FW_STATUS_TABLE[i].result;
    return FW_FAILED;
}

WORD QuerySensorInfo(RegisterImage *image)
{
    image->ebx = SetLowWord(image->ebx, FW_FUNCTION_SENSOR_INFO);
    return FirmwareCall(image);
}

WORD QuerySensorLimits(char letter, RegisterImage *image)
{
    image->ebx = SetLowWord(image->ebx, FW_FUNCTION_SENSOR_LIMITS);
    if (letter < FIRST_LIMITS_LETTER || letter > LAST_LIMITS_LETTER)
        return FW_REJECTED;
    DWORD selector = 2u * (DWORD)(letter - FIRST_LIMITS_LETTER);
    image->ecx = (image->ecx & 0xFFFF00FFu) | selector << 8;
    return FirmwareCall(image);
}

LimitSet DecodeLimits(const RegisterImage *image)
{
    // Each nibble n of cx flags slot n: bit 2 for the warning pair, bit 3 for the critical.
    const int WARNING_FLAG_BIT = 2;
    const int CRITICAL_FLAG_BIT = 3;
    DWORD cx = image->ecx & 0xFFFF;
    LimitSet limits;
    TakePair(image, FindSlot(cx, WARNING_FLAG_BIT), &limits.warningNormal, &limits.warningHigh);
    TakePair(image, FindSlot(cx, CRITICAL_FLAG_BIT), &limits.criticalNormal, &limits.criticalHigh);
    return limits;
}
