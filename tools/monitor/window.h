// The monitor's windows as other programs find them: the monitor's class and the menu's
// commands it takes as WM_COMMAND; the settings window's class and its controls.
#ifndef KOVALTHERM_MONITOR_WINDOW_H
#define KOVALTHERM_MONITOR_WINDOW_H

#define KOVALTHERM_MONITOR_CLASS L"KovalthermMonitor"
#define KOVALTHERM_SETTINGS_CLASS L"KovalthermMonitorSettings"

enum MonitorCommand {
    MONITOR_OPEN = 1,
    MONITOR_NOTIFICATIONS = 2,
    MONITOR_START_WITH_WINDOWS = 3,
    MONITOR_EXIT = 4,
    MONITOR_SETTINGS = 5,
    MONITOR_ICON_LIMITS = 6, // the menu's line on the icon's limits: shown, never chosen
};

// The settings window's controls: in the row of location L, field F has the identifier
// SETTINGS_ROW_BASE + 10 * L + F; Save is IDOK and Close IDCANCEL.
enum SettingsField { SETTINGS_LABEL = 0, SETTINGS_WARNING = 1, SETTINGS_CRITICAL = 2, SETTINGS_REASON = 3 };
#define SETTINGS_ROW_BASE 1000
#define SETTINGS_STATUS 900 // the line on the last save
#define SETTINGS_CONFIG 901 // the line on the sensor configuration's problem

#endif
