// Temperature status with hysteresis, remembered in the registry between calls.
#ifndef KOVALTHERM_STATUS_H
#define KOVALTHERM_STATUS_H

// Temperature states, as stored in "Previous State" and reported.
enum {
    TEMP_STATE_NONE = 0,
    TEMP_STATE_NORMAL = 1,
    TEMP_STATE_WARNING = 2,
    TEMP_STATE_CRITICAL = 3,
    PLAUSIBLE_TEMPERATURE_MAX = 100,
};

// Margins below the limits at which the state changes: past warning high less the first, a
// sensor warns (or, after a warning, is critical); at critical high less the second it is
// critical at once.
enum {
    STATUS_WARNING_MARGIN = 2,
    STATUS_CRITICAL_MARGIN = 1,
};

// What ComputeTempState returns when the limits it needs are unreadable or negative: all
// three, or only some of them. Never stored.
const int TEMP_STATE_NO_LIMITS = -1;
const int TEMP_STATE_SOME_LIMITS = -2;

// Returns the sensor's new state for temperature `t`, from its stored state and limits, or
// one of the two above when a plausible reading meets unreadable limits.
int ComputeTempState(int ordinal, int t);

#endif
