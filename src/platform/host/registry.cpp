// Stand-in registry functions over HKEY_LOCAL_MACHINE, with the access checks and error
// codes of the real ones.
#include <stdio.h>
#include <string.h>

#include <map>

#include "platform/host/host_internal.h"

namespace host {

namespace {

#define ERROR_KEY_DELETED 1018

struct OpenKey {
    std::string path; // under HKEY_LOCAL_MACHINE; "" is the root itself
    REGSAM access;
};

std::map<uintptr_t, OpenKey> g_keys;
// The open and create calls since the last reset, kept in a fixed log: a long-running tool or
// a fuzzer would otherwise grow it, and allocate, on every call. Later calls are not recorded.
struct OpenLogEntry {
    HostFunction function;
    char subKey[128];
    REGSAM access;
};
const int kOpenLogSize = 4096;
OpenLogEntry g_openLog[kOpenLogSize];
int g_openLogCount;
uintptr_t g_nextKey = 0x1000;

// The key a handle names: HKEY_LOCAL_MACHINE itself (full access) or an open key; null if
// none. Valid until the handle is closed.
const OpenKey *Resolve(HKEY key)
{
    static const OpenKey root{"", KEY_ALL_ACCESS};
    if (key == HKEY_LOCAL_MACHINE)
        return &root;
    auto it = g_keys.find((uintptr_t)key);
    return it == g_keys.end() ? nullptr : &it->second;
}

// Joins a parent path and a relative subkey path; false if the subkey is malformed.
bool Join(const std::string &parent, const char *subKey, std::string *path)
{
    std::string sub = subKey ? subKey : "";
    if (!sub.empty() && (sub.front() == '\\' || sub.find("\\\\") != std::string::npos))
        return false;
    while (!sub.empty() && sub.back() == '\\')
        sub.pop_back();
    *path = parent.empty() ? sub : sub.empty() ? parent : parent + "\\" + sub;
    return true;
}

HKEY NewHandle(const std::string &path, REGSAM access)
{
    uintptr_t handle = g_nextKey;
    g_nextKey += 4;
    g_keys[handle] = OpenKey{path, access};
    return (HKEY)handle;
}

// Records an open or create call; false when its access mask names both registry views,
// which the real functions refuse. The stand-in has one view, so either flag alone is accepted.
bool RecordOpen(HostFunction function, const char *subKey, REGSAM access)
{
    if (g_openLogCount < kOpenLogSize) {
        OpenLogEntry &entry = g_openLog[g_openLogCount++];
        entry.function = function;
        entry.access = access;
        snprintf(entry.subKey, sizeof entry.subKey, "%s", subKey ? subKey : "");
    }
    return (access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY)) != (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
}

} // namespace

namespace internal {

void ResetRegistryHandles()
{
    g_keys.clear();
    g_openLogCount = 0;
}

} // namespace internal

std::vector<RegistryOpenCall> RegistryOpenCalls()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    std::vector<RegistryOpenCall> calls;
    for (int i = 0; i < g_openLogCount; ++i)
        calls.push_back({g_openLog[i].function, g_openLog[i].subKey, g_openLog[i].access});
    return calls;
}

int OpenKeyCount()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return (int)g_keys.size();
}

} // namespace host

using namespace host;

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    bool oneView = RecordOpen(FN_REG_OPEN_KEY, lpSubKey, samDesired);
    if (internal::CallFails(FN_REG_OPEN_KEY))
        return ERROR_ACCESS_DENIED;
    if (!oneView)
        return ERROR_INVALID_PARAMETER;
    const OpenKey *parentKey = Resolve(hKey);
    if (!parentKey)
        return ERROR_INVALID_HANDLE;
    const OpenKey &parent = *parentKey;
    std::string path;
    if (ulOptions != 0 || !Join(parent.path, lpSubKey, &path))
        return ERROR_INVALID_PARAMETER;
    if (!Registry().KeyExists(path))
        return Registry().Failed() ? ERROR_REGISTRY_IO_FAILED : ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(path, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition)
{
    (void)lpClass;
    (void)lpSecurityAttributes;
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    bool oneView = RecordOpen(FN_REG_CREATE_KEY, lpSubKey, samDesired);
    if (internal::CallFails(FN_REG_CREATE_KEY))
        return ERROR_ACCESS_DENIED;
    if (!oneView)
        return ERROR_INVALID_PARAMETER;
    const OpenKey *parentKey = Resolve(hKey);
    if (!parentKey)
        return ERROR_INVALID_HANDLE;
    const OpenKey &parent = *parentKey;
    std::string path;
    if (Reserved != 0 || dwOptions != REG_OPTION_NON_VOLATILE || !lpSubKey ||
        !Join(parent.path, lpSubKey, &path))
        return ERROR_INVALID_PARAMETER;
    if (!Registry().KeyExists(parent.path))
        return Registry().Failed() ? ERROR_REGISTRY_IO_FAILED : ERROR_KEY_DELETED;
    bool existed = Registry().KeyExists(path);
    if (!existed && Registry().Failed())
        return ERROR_REGISTRY_IO_FAILED;
    if (!existed) {
        if (!(parent.access & KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        if (!Registry().CreateKey(path))
            return ERROR_ACCESS_DENIED;
    }
    if (lpdwDisposition)
        *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *phkResult = NewHandle(path, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::CallFails(FN_REG_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    const OpenKey *found = Resolve(hKey);
    if (!found)
        return ERROR_INVALID_HANDLE;
    const OpenKey &key = *found;
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    if (!(key.access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    RegValue value;
    switch (Registry().FindValue(key.path, lpValueName ? lpValueName : "", &value)) {
    case Lookup::NoKey:
        return Registry().Failed() ? ERROR_REGISTRY_IO_FAILED : ERROR_KEY_DELETED;
    case Lookup::NoValue:
        return ERROR_FILE_NOT_FOUND;
    case Lookup::Found:
        break;
    }
    if (lpType)
        *lpType = value.type;
    DWORD size = (DWORD)value.data.size();
    if (!lpcbData)
        return ERROR_SUCCESS;
    DWORD room = *lpcbData;
    *lpcbData = size;
    if (!lpData)
        return ERROR_SUCCESS;
    if (room < size)
        return ERROR_MORE_DATA;
    if (size)
        memcpy(lpData, value.data.data(), size);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE *lpData, DWORD cbData)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::CallFails(FN_REG_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    const OpenKey *found = Resolve(hKey);
    if (!found)
        return ERROR_INVALID_HANDLE;
    const OpenKey &key = *found;
    if (Reserved != 0 || (cbData && !lpData))
        return ERROR_INVALID_PARAMETER;
    if (!(key.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    if (!Registry().KeyExists(key.path))
        return Registry().Failed() ? ERROR_REGISTRY_IO_FAILED : ERROR_KEY_DELETED;
    RegValue value;
    value.type = dwType;
    value.data.assign(lpData, lpData + cbData);
    if (!Registry().SetValue(key.path, lpValueName ? lpValueName : "", value))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    bool fails = internal::CallFails(FN_REG_CLOSE_KEY);
    if (hKey == HKEY_LOCAL_MACHINE)
        return fails ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
    if (!g_keys.erase((uintptr_t)hKey) || fails)
        return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

} // extern "C"
