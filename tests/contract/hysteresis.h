// The warning state carried from one process to the next through the registry: one sensor
// with fixed limits, a sequence of temperatures, and what each read reports and stores.
#ifndef KOVALTHERM_CONTRACT_HYSTERESIS_H
#define KOVALTHERM_CONTRACT_HYSTERESIS_H

#include <stddef.h>

namespace contract {

struct HysteresisLimits {
    int warnNormal, warnHigh, critNormal, critHigh;
};

// Enter warning above 88, critical at 94 and above; leave warning at 85 or below.
inline const HysteresisLimits kHysteresisLimits = {85, 90, 93, 95};

struct HysteresisStep {
    bool newProcess; // the library is unloaded and loaded again before this read
    int temperature;
    int reported;    // status the read returns
    int stored;      // "Previous State" afterwards
};

// Normal, then warning; held above warnNormal in a new process; left in the next, reported
// one call late.
inline const HysteresisStep kWarningCarriedOver[] = {
    {false, 50, 1, 1}, {false, 90, 2, 2}, {true, 86, 2, 2}, {true, 80, 2, 1}, {false, 80, 1, 1},
};
inline const size_t kWarningCarriedOverSteps =
    sizeof kWarningCarriedOver / sizeof kWarningCarriedOver[0];

} // namespace contract

#endif
