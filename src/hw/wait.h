// Waits of the controller exchange: as short as the platform allows, never shorter than asked.
#ifndef KOVALTHERM_WAIT_H
#define KOVALTHERM_WAIT_H

#include "platform/win32_api.h"

// Blocks the calling thread for at least `ms` milliseconds.
void WaitMilliseconds(DWORD ms);

// Forgets the wait timer without closing it, as on a fresh load (at attach).
void ResetWaitTimer(void);

// Closes the wait timer if one was created (at detach).
void CloseWaitTimer(void);

#endif
