// The colours of our charts, as 0xRRGGBB: ktsensors --plot and the monitor's window draw the
// status the library reported as bands in them, and the temperature and limits as lines, so
// that a person reads both alike.
#ifndef KOVALTHERM_CLIENT_PALETTE_H
#define KOVALTHERM_CLIENT_PALETTE_H

#include <stdint.h>

#include "kovaltherm.h"

namespace ktsensors {

// The status bands, and a failed call's.
const uint32_t kNormalColour = 0x66bb6a;
const uint32_t kWarningColour = 0xffca28;
const uint32_t kCriticalColour = 0xef5350;
const uint32_t kNoStatusColour = 0xbdbdbd;
const uint32_t kFailedColour = 0x616161;
// Bands lie at this opacity over the chart's white background.
const double kBandOpacity = 0.45;

// The lines: the temperature, the two limits, and the temperatures where the status changes.
const uint32_t kTemperatureColour = 0x1565c0;
const uint32_t kWarningLimitColour = 0xef6c00;
const uint32_t kCriticalLimitColour = 0xb71c1c;
const uint32_t kStatusChangeColour = 0x6a1b9a;

// The band colour of a status the library reported (KOVALTHERM_STATUS_*).
inline uint32_t StatusColour(int status)
{
    switch (status) {
    case KOVALTHERM_STATUS_NORMAL: return kNormalColour;
    case KOVALTHERM_STATUS_WARNING: return kWarningColour;
    case KOVALTHERM_STATUS_CRITICAL: return kCriticalColour;
    default: return kNoStatusColour;
    }
}

} // namespace ktsensors

#endif
