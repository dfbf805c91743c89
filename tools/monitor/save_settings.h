// Saving the person's sensor settings in the machine's file, which the service, ktsensors.exe
// and every user's monitor read: the checks anyone can make before administrator rights are
// asked for, the monitor's elevated copy that writes the file, and the elevation (UAC).
#ifndef KOVALTHERM_MONITOR_SAVE_SETTINGS_H
#define KOVALTHERM_MONITOR_SAVE_SETTINGS_H

#include <windows.h>

#include <string>

#include "sensor_config.h"

namespace monitor {

// The argument that starts the monitor as the writer of a change (ChangeArgument's form).
const wchar_t kSaveArgument[] = L"--save-sensor-settings";
// How long the monitor waits for its elevated copy once the person gave the rights; it reads
// and writes a file of a few hundred bytes.
const DWORD kSaveWaitMs = 60000;

// What saving `change` would write to the machine's file (DefaultSensorConfigPath), after every
// check the writer makes: the file's folder one only administrators can change (client/'s
// folder check, the service's), the file there valid or absent, the Group Policy readable and
// fixing no location the change names, the result valid. "" with the file's new text in *text,
// or why not, in one line.
std::string PrepareSave(const ktsensors::SensorConfig &change, std::string *text);

// The elevated writer: `argument` read as a change, checked as PrepareSave checks it, and the
// file replaced atomically inside its checked folder. The exit status: 0 saved, 1 not saved,
// 2 not a change.
int WriteSensorSettings(const std::wstring &argument);

enum class SaveOutcome {
    Saved,
    Declined, // the person did not give administrator rights
    NotSaved, // the writer did not start, or ended without saving
    NoAnswer, // the writer did not end within kSaveWaitMs
};

// Starts this program with administrator rights (ShellExecuteEx, the verb "runas": the UAC
// prompt belongs to `owner`) as the writer of `change`, and waits for it. *detail: with
// NotSaved, the system's error or the writer's exit status, in words.
SaveOutcome SaveElevated(HWND owner, const ktsensors::SensorConfig &change, std::wstring *detail);

} // namespace monitor

#endif
