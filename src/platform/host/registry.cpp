// Stand-in registry functions over HKEY_LOCAL_MACHINE, with the access checks and error
// codes of the real ones.
#include <stdio.h>
#include <string.h>

#include <string_view>
#include <vector>

#include "platform/host/host_internal.h"

namespace host {

namespace {

#define ERROR_KEY_DELETED 1018

struct OpenKey {
    uintptr_t handle = 0; // 0 while the slot is free
    std::string path;     // under HKEY_LOCAL_MACHINE; "" is the root itself
    REGSAM access = 0;
};

// Open keys in slots that closed keys leave for the next, keeping their paths' room: the
// library opens and closes keys hundreds of times a call, and holds only a few at once.
std::vector<OpenKey> g_keys;
uintptr_t g_nextKey = 0x1000;
int g_openKeys = 0;

// The key a handle names: HKEY_LOCAL_MACHINE itself (full access) or an open key; null if
// none. Valid until the handle is closed.
OpenKey *Resolve(HKEY key)
{
    static OpenKey root{0, "", KEY_ALL_ACCESS};
    if (key == HKEY_LOCAL_MACHINE)
        return &root;
    for (OpenKey &open : g_keys)
        if (open.handle != 0 && open.handle == (uintptr_t)key)
            return &open;
    return nullptr;
}

// Joins a parent path and a relative subkey path into `path` (whose room is reused); false
// if the subkey is malformed: a leading backslash or an empty component. Scanned by hand, as
// it runs on every open (strlen alone, so that a sanitizer build checks the caller's string).
bool Join(const std::string &parent, const char *subKey, std::string *path)
{
    const char *sub = subKey ? subKey : "";
    size_t length = strlen(sub);
    // Without an early exit, so that the compiler checks many characters at once.
    bool empty = length > 0 && sub[0] == '\\';
    for (size_t i = 1; i < length; ++i)
        empty |= (sub[i] == '\\') & (sub[i - 1] == '\\');
    if (empty)
        return false;
    while (length > 0 && sub[length - 1] == '\\')
        --length;
    path->assign(parent);
    if (!parent.empty() && length > 0)
        path->push_back('\\');
    path->append(sub, length);
    return true;
}

// A new handle on `*path`, in a free slot. The path is swapped in, not copied: the caller's
// string gets the slot's old room.
HKEY NewHandle(std::string *path, REGSAM access)
{
    OpenKey *slot = nullptr;
    for (OpenKey &open : g_keys)
        if (open.handle == 0) {
            slot = &open;
            break;
        }
    if (!slot)
        slot = &g_keys.emplace_back();
    slot->handle = g_nextKey;
    g_nextKey += 4;
    slot->path.swap(*path);
    slot->access = access;
    ++g_openKeys;
    return (HKEY)slot->handle;
}

// Frees the slot of `key`; false if it is not an open key.
bool ReleaseKeyHandle(HKEY key)
{
    for (OpenKey &open : g_keys)
        if (open.handle != 0 && open.handle == (uintptr_t)key) {
            open.handle = 0;
            --g_openKeys;
            return true;
        }
    return false;
}

// Where the functions below build paths; guarded by the host lock.
std::string &PathScratch()
{
    static std::string path;
    return path;
}

// Hands an open or create call to the test controls' record; false when its access mask
// names both registry views, which the real functions refuse. The stand-in has one view, so
// either flag alone is accepted.
bool RecordOpen(HostFunction function, const char *subKey, REGSAM access)
{
    if (internal::g_testHooks.registryOpen)
        internal::g_testHooks.registryOpen(function, subKey, access);
    return (access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY)) != (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
}

} // namespace

namespace internal {

void ResetRegistryHandles()
{
    for (OpenKey &open : g_keys)
        open.handle = 0;
    g_openKeys = 0;
    if (g_testHooks.resetRegistryLog)
        g_testHooks.resetRegistryLog();
}

} // namespace internal

int OpenKeyCount()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return g_openKeys;
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
    std::string &path = PathScratch();
    if (ulOptions != 0 || !Join(parent.path, lpSubKey, &path))
        return ERROR_INVALID_PARAMETER;
    if (!internal::Store().KeyExists(path))
        return internal::Store().Failed() ? ERROR_REGISTRY_IO_FAILED : ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(&path, samDesired);
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
    std::string &path = PathScratch();
    if (Reserved != 0 || dwOptions != REG_OPTION_NON_VOLATILE || !lpSubKey ||
        !Join(parent.path, lpSubKey, &path))
        return ERROR_INVALID_PARAMETER;
    if (!internal::Store().KeyExists(parent.path))
        return internal::Store().Failed() ? ERROR_REGISTRY_IO_FAILED : ERROR_KEY_DELETED;
    bool existed = internal::Store().KeyExists(path);
    if (!existed && internal::Store().Failed())
        return ERROR_REGISTRY_IO_FAILED;
    if (!existed) {
        if (!(parent.access & KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        if (!internal::Store().CreateKey(path))
            return ERROR_ACCESS_DENIED;
    }
    if (lpdwDisposition)
        *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *phkResult = NewHandle(&path, samDesired);
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
    // Kept between calls so that its buffer's room is reused.
    static RegValue value;
    switch (internal::Store().FindValue(key.path, lpValueName ? lpValueName : "", &value)) {
    case Lookup::NoKey:
        return internal::Store().Failed() ? ERROR_REGISTRY_IO_FAILED : ERROR_KEY_DELETED;
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
    if (!internal::Store().KeyExists(key.path))
        return internal::Store().Failed() ? ERROR_REGISTRY_IO_FAILED : ERROR_KEY_DELETED;
    static RegValue value; // kept between calls so that its buffer's room is reused
    value.type = dwType;
    value.data.assign(lpData, lpData + cbData);
    if (!internal::Store().SetValue(key.path, lpValueName ? lpValueName : "", value))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    bool fails = internal::CallFails(FN_REG_CLOSE_KEY);
    if (hKey == HKEY_LOCAL_MACHINE)
        return fails ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
    if (!ReleaseKeyHandle(hKey) || fails)
        return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

} // extern "C"
