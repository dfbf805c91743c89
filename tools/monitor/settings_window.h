// The sensor settings window: a row per sensor of the latest reading with its label and the
// owner's warning and critical thresholds; rows that Group Policy fixes are read-only, with the
// reason. Save checks the change, asks for administrator rights (UAC) and has the monitor's
// elevated copy write the machine's file (save_settings.h).
#ifndef KOVALTHERM_MONITOR_SETTINGS_WINDOW_H
#define KOVALTHERM_MONITOR_SETTINGS_WINDOW_H

#include <windows.h>

#include "model.h"

namespace monitor {

// Opens the settings window, or brings it forward, with a row per sensor of `latest` (null
// before the first reading) at `dpi`. `saved` is called when a save succeeded.
void OpenSettings(HINSTANCE instance, const Reading *latest, UINT dpi, void (*saved)());

// Takes a new reading: the configuration's problem, and the rows when a save changed them or
// none were shown yet.
void SettingsReading(const Reading &latest);

// Tab, Enter and Escape in the settings window; true when `message` was one and is handled.
bool SettingsDialogMessage(MSG *message);

} // namespace monitor

#endif
