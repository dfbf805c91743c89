// Temperature status with hysteresis, remembered in the registry between calls. The states
// stored in "Previous State" are the statuses reported (KOVALTHERM_STATUS_*).
#ifndef KOVALTHERM_STATUS_H
#define KOVALTHERM_STATUS_H

enum {
    PLAUSIBLE_TEMPERATURE_MAX = 100, // a reading above it leaves the state as it was
    // Margins below the limits at which the state changes: past warning high less the
    // first, a sensor warns (or, after a warning, is critical); at critical high less the
    // second it is critical at once.
    STATUS_WARNING_MARGIN = 2,
    STATUS_CRITICAL_MARGIN = 1,
};

#endif
