// The monitor's calls into the shell go through this one table, so that a test build can
// record what the program hands the notification area, and stand in for the person at the
// UAC prompt.
#ifndef KOVALTHERM_MONITOR_SHELL_H
#define KOVALTHERM_MONITOR_SHELL_H

#include <windows.h>
#include <shellapi.h>

namespace monitor {

struct ShellCalls {
    BOOL(WINAPI *notifyIcon)(DWORD message, PNOTIFYICONDATAW data);
    BOOL(WINAPI *executeEx)(SHELLEXECUTEINFOW *info);
};

// The table the program calls through: the shell's own functions.
extern ShellCalls shell;

#ifdef KOVALTHERM_MONITOR_TEST
// The test build: when KOVALTHERM_MONITOR_SHELL_LOG names a file, every call through the
// table is also appended to it as a line of text (test_shell_log.cpp); while the file that
// KOVALTHERM_MONITOR_DECLINE names exists, a request for administrator rights is declined.
void StartShellLog();
#endif

} // namespace monitor

#endif
