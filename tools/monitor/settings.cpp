// The monitor's settings in the registry of the current user.
#include "settings.h"

#include <windows.h>

#include <string>

namespace monitor {

namespace {

const wchar_t kSettingsKey[] = L"Software\\Kovaltherm\\Monitor";
const wchar_t kNotificationsValue[] = L"Notifications";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"Kovaltherm Monitor";

DWORD ReadSetting(const wchar_t *name, DWORD fallback)
{
    DWORD value = fallback, size = sizeof value, type = 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return fallback;
    if (RegQueryValueExW(key, name, nullptr, &type, (BYTE *)&value, &size) != ERROR_SUCCESS || type != REG_DWORD)
        value = fallback;
    RegCloseKey(key);
    return value;
}

bool WriteSetting(const wchar_t *name, DWORD value)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

} // namespace

bool NotificationsOn() { return ReadSetting(kNotificationsValue, 1) != 0; }

bool SetNotificationsOn(bool on) { return WriteSetting(kNotificationsValue, on ? 1 : 0); }

bool StartsWithWindows()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    bool present = RegQueryValueExW(key, kRunValue, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return present;
}

bool SetStartWithWindows(bool on)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG rc;
    if (on) {
        wchar_t path[MAX_PATH];
        DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(path, length) + L"\"";
        rc = length && length < MAX_PATH
                 ? RegSetValueExW(key, kRunValue, 0, REG_SZ, (const BYTE *)command.c_str(),
                                  (DWORD)((command.size() + 1) * sizeof(wchar_t)))
                 : ERROR_FILENAME_EXCED_RANGE;
    } else {
        rc = RegDeleteValueW(key, kRunValue);
        if (rc == ERROR_FILE_NOT_FOUND)
            rc = ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

} // namespace monitor
