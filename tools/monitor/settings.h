// The person's choices, kept for them under HKEY_CURRENT_USER: whether notifications come, and
// whether Windows starts the monitor when they sign in.
#ifndef KOVALTHERM_MONITOR_SETTINGS_H
#define KOVALTHERM_MONITOR_SETTINGS_H

namespace monitor {

// Whether notifications are on (the REG_DWORD Notifications, on when absent).
bool NotificationsOn();

// Remembers notifications on or off; false if the value could not be written.
bool SetNotificationsOn(bool on);

// Whether the current user's Run key starts this program.
bool StartsWithWindows();

// Adds this program, by its quoted full path, to the user's Run key, or removes it; false if
// the key could not be changed.
bool SetStartWithWindows(bool on);

} // namespace monitor

#endif
