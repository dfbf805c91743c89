// The monitor's window as other programs find it: its class, and the menu's commands it takes
// as WM_COMMAND.
#ifndef KOVALTHERM_MONITOR_WINDOW_H
#define KOVALTHERM_MONITOR_WINDOW_H

#define KOVALTHERM_MONITOR_CLASS L"KovalthermMonitor"

enum MonitorCommand {
    MONITOR_OPEN = 1,
    MONITOR_NOTIFICATIONS = 2,
    MONITOR_START_WITH_WINDOWS = 3,
    MONITOR_EXIT = 4,
};

#endif
