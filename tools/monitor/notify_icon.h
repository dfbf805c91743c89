// The monitor's icon in the notification area: its face and tooltip drawn from the latest
// reading, its notifications, its menu, and what a click on it asks for. The shell tells the
// window about the icon with WM_MONITOR_ICON.
#ifndef KOVALTHERM_MONITOR_NOTIFY_ICON_H
#define KOVALTHERM_MONITOR_NOTIFY_ICON_H

#include <windows.h>

#include <string>

#include "model.h"

namespace monitor {

const UINT WM_MONITOR_ICON = WM_APP + 1;

// The icon as the shell has it: one identifier, added once, updated in place.
struct NotifyIcon {
    HWND window = nullptr; // gets the icon's messages; its title bar shows the same icon
    bool added = false;
    bool version4 = false; // the shell takes NOTIFYICON_VERSION_4 callbacks
    HICON icon = nullptr;
    IconFace face{L"", 0, 0};
    int size = 0;
    std::wstring tip;
};

// Redraws the face and the tooltip for `current` (null: no current reading) on an icon of
// `size` pixels; returns the NIF_ flags of what changed.
UINT RedrawFace(NotifyIcon *icon, const Reading *current, int size);

// Redraws, then hands the shell what changed, adding the icon if it has none.
void UpdateIcon(NotifyIcon *icon, const Reading *current, int size);

// After Explorer restarted or the machine resumed: the icon is updated if the shell still has
// it, else added; never added twice.
void RestoreIcon(NotifyIcon *icon);

// Takes the icon out of the notification area.
void RemoveIcon(NotifyIcon *icon);

// Shows a notification from the icon.
void ShowNotice(NotifyIcon *icon, const Notice &notice);

enum class IconRequest { None, Open, Menu };

// What a WM_MONITOR_ICON message asks for: the window, or the menu at `at` (screen
// coordinates).
IconRequest ReadIconMessage(const NotifyIcon &icon, WPARAM wParam, LPARAM lParam, POINT *at);

// The icon's menu at `at`, its items checked as given, with a line (never chosen) on which
// limits the icon follows; a choice comes to the window as WM_COMMAND with a MonitorCommand.
void ShowIconMenu(HWND window, POINT at, bool notifications, bool startsWithWindows, const std::wstring &limitsLine);

} // namespace monitor

#endif
