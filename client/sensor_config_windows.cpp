// The sensor configuration on Windows: the file under %ProgramData%, and the Group Policy keys
// under HKEY_LOCAL_MACHINE (the 64-bit view on 64-bit Windows, where Group Policy writes them).
#include <windows.h>
#include <shlobj.h>

#include <fcntl.h>
#include <io.h>

#include "error_text_windows.h"
#include "excerpt.h"
#include "folder_check_windows.h"
#include "sensor_config.h"
#include "service_rules.h"
#include "wide_windows.h"

namespace ktsensors {

namespace {

// Longest name of a policy key or value, in UTF-16 units (the registry's own limits).
const DWORD kMaxKeyName = 256;
const DWORD kMaxValueName = 16384;
// Longest value data read: a label is at most 32 characters.
const DWORD kMaxValueBytes = 1024;

// Reads the values of the open key `key` into `*values`; ERROR_SUCCESS or why not.
LONG ReadValues(HKEY key, std::vector<PolicyValue> *values)
{
    std::vector<wchar_t> name(kMaxValueName + 1);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = kMaxValueName + 1, type = 0;
        BYTE data[kMaxValueBytes + sizeof(wchar_t)] = {};
        DWORD size = kMaxValueBytes;
        LONG result = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data, &size);
        if (result == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        PolicyValue value;
        if (result == ERROR_MORE_DATA) {
            // Too long for any value of ours: its name is all a message needs.
            nameLength = kMaxValueName + 1;
            result = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, nullptr, nullptr);
            size = 0;
            type = REG_BINARY;
        }
        if (result != ERROR_SUCCESS)
            return result;
        value.name = Utf8(std::wstring(name.data(), nameLength));
        if (type == REG_DWORD && size == sizeof(DWORD)) {
            value.type = PolicyValue::Dword;
            memcpy(&value.dword, data, sizeof(DWORD));
        } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
            value.type = PolicyValue::String;
            std::wstring text((const wchar_t *)data, size / sizeof(wchar_t));
            while (!text.empty() && text.back() == L'\0')
                text.pop_back();
            value.text = Utf8(text);
        }
        values->push_back(value);
    }
}

} // namespace

bool ReadSensorPolicy(std::vector<PolicyKey> *keys, std::string *error)
{
    keys->clear();
    HKEY sensors = nullptr;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(KT_POLICY_SENSORS_KEY).c_str(), 0,
                                KEY_READ | KEY_WOW64_64KEY, &sensors);
    if (result == ERROR_FILE_NOT_FOUND)
        return true;
    std::string where = "HKLM\\" KT_POLICY_SENSORS_KEY;
    if (result == ERROR_SUCCESS) {
        wchar_t name[kMaxKeyName + 1];
        for (DWORD index = 0; result == ERROR_SUCCESS; ++index) {
            DWORD length = kMaxKeyName + 1;
            result = RegEnumKeyExW(sensors, index, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (result != ERROR_SUCCESS)
                break;
            PolicyKey policy;
            policy.name = Utf8(std::wstring(name, length));
            HKEY key = nullptr;
            result = RegOpenKeyExW(sensors, name, 0, KEY_READ | KEY_WOW64_64KEY, &key);
            if (result == ERROR_SUCCESS) {
                result = ReadValues(key, &policy.values);
                RegCloseKey(key);
            }
            if (result != ERROR_SUCCESS)
                where += "\\" + policy.name;
            keys->push_back(policy);
        }
        RegCloseKey(sensors);
        if (result == ERROR_NO_MORE_ITEMS)
            return true;
    }
    *error = where + " cannot be read (" + ErrorText((DWORD)result) + ")";
    return false;
}

std::string DefaultSensorConfigPath()
{
    // The shell's ProgramData, not the environment's: the environment a program (or a service,
    // under Wine) is started with may name another folder or none.
    wchar_t folder[MAX_PATH] = L"";
    std::wstring programData =
        SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)) ? folder
                                                                                                      : L"C:\\ProgramData";
    return Utf8(programData + L"\\" KT_CONFIG_FOLDER L"\\" KT_CONFIG_FILE);
}

FileRead ReadSensorConfigFile(const std::string &path, bool adminOnly, std::string *text, std::string *error)
{
    if (!adminOnly)
        return ReadSmallFile(path, kMaxConfigFileBytes, kConfigFileKind, text, error);
    std::string problem;
    bool missing = false;
    HANDLE handle = OpenCheckedFile(path, &problem, &missing);
    if (missing)
        return FileRead::Missing;
    if (!handle) {
        *error = Excerpt(path, 80) + ": refused, as " + problem + " (the service reads only what only administrators can change)";
        return FileRead::Failed;
    }
    int descriptor = _open_osfhandle((intptr_t)handle, _O_RDONLY | _O_BINARY);
    FILE *file = descriptor != -1 ? _fdopen(descriptor, "rb") : nullptr;
    if (!file) {
        if (descriptor != -1)
            _close(descriptor);
        else
            CloseHandle(handle);
        *error = Excerpt(path, 80) + ": cannot be read";
        return FileRead::Failed;
    }
    return ReadOpenSmallFile(file, path, kMaxConfigFileBytes, kConfigFileKind, text, error);
}

std::string ServiceConfigProblem(const std::wstring &path)
{
    std::string name = Utf8(path), text, error;
    KtPathProblem shape = KtConfigPathProblem(path.c_str());
    if (shape != KT_PATH_OK)
        return name + ": the path " + Utf8(KtPathRule(shape));
    FileRead read = ReadSensorConfigFile(name, true, &text, &error);
    if (read == FileRead::Missing)
        return name + ": no such file";
    SensorConfig parsed;
    if (read == FileRead::Ok && !ParseSensorConfig(text, name, &parsed, &error))
        return name + " " + error;
    return read == FileRead::Ok ? "" : error;
}

} // namespace ktsensors
