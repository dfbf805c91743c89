// Storage behind the host registry: keys by path under HKEY_LOCAL_MACHINE, each with typed
// values. Paths use backslashes and compare case-insensitively, as on Windows. Paths and
// names are passed as views, so that a lookup needs no string of its own.
#ifndef KOVALTHERM_HOST_REGISTRY_STORE_H
#define KOVALTHERM_HOST_REGISTRY_STORE_H

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32_api.h"

namespace host {

struct RegValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// How a registry file is opened: to run the library on it, or only to read it.
enum class RegistryAccess { ReadWrite, ReadOnly };

// What a value lookup found.
enum class Lookup { NoKey, NoValue, Found };

class RegistryStore {
public:
    virtual ~RegistryStore() = default;
    // True if the key exists; the root "" always does.
    virtual bool KeyExists(std::string_view path) = 0;
    // Creates the key and any missing parents; false if the store cannot.
    virtual bool CreateKey(std::string_view path) = 0;
    // Fetches a value; false if the key or the value does not exist.
    virtual bool GetValue(std::string_view path, std::string_view name, RegValue *value) = 0;
    // Fetches a value and tells whether its key exists, from one consistent read. Returns
    // Found (with `*value` set), NoValue or NoKey.
    virtual Lookup FindValue(std::string_view path, std::string_view name, RegValue *value)
    {
        if (!KeyExists(path))
            return Lookup::NoKey;
        return GetValue(path, name, value) ? Lookup::Found : Lookup::NoValue;
    }
    // Sets a value on an existing key; false if the key does not exist or the store cannot.
    virtual bool SetValue(std::string_view path, std::string_view name,
                          const RegValue &value) = 0;
    // Removes a value; false if it did not exist.
    virtual bool DeleteValue(std::string_view path, std::string_view name) = 0;
    // Removes a key with everything under it; false if it did not exist.
    virtual bool DeleteKey(std::string_view path) = 0;
    // True if the last call could not read or write the store, so that its "false" or
    // "missing" is no answer; a store in memory never fails so.
    virtual bool Failed() const { return false; }
    // The file that holds the store and was opened, "" for a store in memory. Other
    // machine-wide objects (named mutexes) keep their files beside it.
    virtual std::string FilePath() const { return std::string(); }
    // Names of the key's direct subkeys, in the order Windows lists them (case-insensitive).
    virtual std::vector<std::string> SubKeys(std::string_view path) = 0;
    // The key's values, by name in case-insensitive order.
    virtual std::vector<std::pair<std::string, RegValue>> Values(std::string_view path) = 0;
};

// A registry held in memory, empty at first.
std::unique_ptr<RegistryStore> MakeMemoryRegistry();

// Lower-cases ASCII letters: the comparison key of registry names.
std::string FoldCase(std::string_view text);

} // namespace host

#endif
