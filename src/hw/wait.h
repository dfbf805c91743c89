// Waits of the controller exchange: as short as the platform allows, never shorter than asked.
//
// Return conventions: none; a wait that cannot use the timer falls back to Sleep, and a
// resolution that cannot be raised is left as it is.
#ifndef KOVALTHERM_WAIT_H
#define KOVALTHERM_WAIT_H

#include "platform/win32_api.h"

// Blocks the calling thread for at least `ms` milliseconds.
void WaitMilliseconds(DWORD ms);

// Where waits fall back to Sleep, raises the system timer resolution to 1 ms until
// RestoreTimerResolution (around each block read).
void RaiseTimerResolution(void);

// Lowers the resolution again if RaiseTimerResolution raised it.
void RestoreTimerResolution(void);

// Forgets the wait timer and the resolution functions without closing them, as on a fresh
// load (at attach).
void ResetWaitTimer(void);

// Closes the wait timer if one was created (at detach).
void CloseWaitTimer(void);

#endif
