// ktsensors on Windows: Kovaltherm.dll loaded like any application loads it, the real registry
// for --dump-registry, and --scenario sent to the stand-in thermal driver, which serves a
// simulated notebook.
#include <windows.h>

#include "backend.h"
#include "error_text_windows.h"
#include "library_windows.h"
#include "wide_windows.h"
#include "base/cache_layout.h"

namespace ktsensors {

namespace {

const char *const kDriverPath = "\\\\.\\qorix";

// Reads the open key's values and subkeys into `key`, recursively; false on a failed call.
bool Walk(HKEY handle, RegKey *key, std::string *error)
{
    DWORD subkeys = 0, longestSubkey = 0, values = 0, longestName = 0, longestData = 0;
    LONG rc = RegQueryInfoKeyA(handle, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr,
                               &values, &longestName, &longestData, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
        *error = "cannot read HKEY_LOCAL_MACHINE key " + key->path + ": " + ErrorText((DWORD)rc);
        return false;
    }
    std::vector<char> name(longestName + 2);
    std::vector<BYTE> data(longestData + 1);
    for (DWORD i = 0; i < values; ++i) {
        DWORD nameLength = (DWORD)name.size(), dataLength = (DWORD)data.size(), type = 0;
        rc = RegEnumValueA(handle, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS) {
            *error = "cannot read a value of " + key->path + ": " + ErrorText((DWORD)rc);
            return false;
        }
        key->values.push_back(RegEntry{std::string(name.data(), nameLength), type,
                                       std::vector<uint8_t>(data.begin(), data.begin() + dataLength)});
    }
    std::vector<char> subkey(longestSubkey + 2);
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD length = (DWORD)subkey.size();
        rc = RegEnumKeyExA(handle, i, subkey.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS) {
            *error = "cannot list the subkeys of " + key->path + ": " + ErrorText((DWORD)rc);
            return false;
        }
        std::string child(subkey.data(), length);
        HKEY childHandle;
        rc = RegOpenKeyExA(handle, child.c_str(), 0, KEY_READ | CACHE_REGISTRY_VIEW,
                           &childHandle);
        if (rc != ERROR_SUCCESS) {
            *error = "cannot open " + key->path + "\\" + child + ": " + ErrorText((DWORD)rc);
            return false;
        }
        key->subkeys.emplace_back();
        key->subkeys.back().path = key->path + "\\" + child;
        bool ok = Walk(childHandle, &key->subkeys.back(), error);
        RegCloseKey(childHandle);
        if (!ok)
            return false;
    }
    return true;
}

// The system registry, in the view the library keeps its cache in.
class WindowsRegistry : public Registry {
public:
    bool IsFile() const override { return false; }

    const std::string &File() const override
    {
        static const std::string none;
        return none;
    }

    Outcome Open(const std::string &registryPath, const SimConfig *notebook, bool mayCreate,
                 std::string *error) override
    {
        (void)notebook;  // one machine, one registry
        (void)mayCreate; // the system registry always exists
        if (!registryPath.empty()) {
            *error = "--registry applies to the simulated notebook on the host only; on Windows the "
                     "library uses the system registry";
            return Outcome::Usage;
        }
        return Outcome::Ok;
    }

    Outcome ReadTree(const std::string &path, RegKey *tree, std::string *error) override
    {
        HKEY handle;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | CACHE_REGISTRY_VIEW,
                                &handle);
        if (rc != ERROR_SUCCESS) {
            *error = rc == ERROR_FILE_NOT_FOUND
                         ? "no sensor cache (HKEY_LOCAL_MACHINE\\" + path + ") yet: run ktsensors once to build it"
                         : "cannot open HKEY_LOCAL_MACHINE\\" + path + ": " + ErrorText((DWORD)rc);
            return Outcome::Failure;
        }
        tree->path = "HKEY_LOCAL_MACHINE\\" + path;
        bool ok = Walk(handle, tree, error);
        RegCloseKey(handle);
        return ok ? Outcome::Ok : Outcome::Failure;
    }

    // Deletes the key's subkeys (the sensor keys, which have none of their own), then the key,
    // in the registry view the library keeps its cache in. Each is deleted relative to a handle
    // opened in that view: RegDeleteKeyA from HKEY_LOCAL_MACHINE would delete in the process's
    // own view, which for a 64-bit process is not the cache's.
    Outcome RemoveKey(const std::string &path, std::string *error) override
    {
        HKEY handle;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                KEY_READ | DELETE | CACHE_REGISTRY_VIEW, &handle);
        if (rc == ERROR_FILE_NOT_FOUND)
            return Outcome::Ok;
        bool opened = rc == ERROR_SUCCESS;
        std::vector<std::string> subkeys;
        for (DWORD i = 0; rc == ERROR_SUCCESS; ++i) {
            char name[256];
            DWORD length = sizeof name;
            LONG next = RegEnumKeyExA(handle, i, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (next == ERROR_NO_MORE_ITEMS)
                break;
            if (next != ERROR_SUCCESS) {
                rc = next;
                break;
            }
            subkeys.push_back(std::string(name, length));
        }
        for (size_t i = 0; rc == ERROR_SUCCESS && i < subkeys.size(); ++i) {
            rc = RegDeleteKeyA(handle, subkeys[i].c_str());
            if (rc == ERROR_FILE_NOT_FOUND)
                rc = ERROR_SUCCESS;
        }
        if (opened)
            RegCloseKey(handle);
        if (rc == ERROR_SUCCESS) {
            size_t slash = path.rfind('\\');
            std::string parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
            std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
            HKEY parentKey;
            rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent.c_str(), 0,
                               KEY_READ | CACHE_REGISTRY_VIEW, &parentKey);
            if (rc == ERROR_SUCCESS) {
                rc = RegDeleteKeyA(parentKey, leaf.c_str());
                RegCloseKey(parentKey);
            }
            if (rc == ERROR_FILE_NOT_FOUND)
                rc = ERROR_SUCCESS;
        }
        if (rc == ERROR_SUCCESS)
            return Outcome::Ok;
        *error = "cannot remove the sensor cache HKEY_LOCAL_MACHINE\\" + path + " (" + ErrorText((DWORD)rc) +
                 ")" + (rc == ERROR_ACCESS_DENIED ? ": run as an administrator" : "");
        return Outcome::Failure;
    }

    std::string Problem() const override { return ""; }
};

// GetTickCount64, from when the library was loaded. It does not wrap, so a service that runs
// for months keeps its schedule (GetTickCount's 32 bits wrap after 49.7 days).
class WindowsClock : public MachineClock {
public:
    void Restart() { startTicks_ = GetTickCount64(); }

    uint64_t NowMs() override { return GetTickCount64() - startTicks_; }

    void WaitMs(uint64_t ms) override { Sleep((DWORD)ms); }

private:
    ULONGLONG startTicks_ = 0;
};

// Kovaltherm.dll, loaded from this program's folder by its full path (library_windows.h).
class WindowsLibrary : public Library {
public:
    WindowsLibrary(Registry &registry, WindowsClock &clock) : registry_(registry), clock_(clock) {}
    ~WindowsLibrary() override { Stop(); }

    // Set before the library is loaded: it reads it while it attaches.
    void EnableTrace() override { SetEnvironmentVariableA(KOVALTHERM_TRACE_VARIABLE, "stderr"); }

    Outcome Start(const SimConfig *scenario, bool fastClock, std::string *error) override
    {
        (void)fastClock; // a real machine's time runs on its own
        bool anotherNotebook = false;
        if (scenario && !SendScenario(*scenario, &anotherNotebook, error))
            return Outcome::Failure;
        // On another notebook the cache describes the one before, and every program would go
        // on reading its sensors and limits: emptied, the next call builds it from the new
        // notebook's firmware. The same notebook at other temperatures keeps each sensor's
        // state.
        std::string why;
        if (anotherNotebook && registry_.RemoveKey(THERMAL_KEY_PATH, &why) != Outcome::Ok) {
            *error = "scenario loaded; " + why;
            return Outcome::Failure;
        }
        if (!LoadKovaltherm(&library_)) {
            DWORD code = library_.error;
            std::string path = Utf8(ProgramFolder() + kLibraryFileName);
            if (library_.missingExport)
                *error = Utf8(kLibraryFileName) + " has no export " + library_.missingExport;
            else
                *error = code == ERROR_MOD_NOT_FOUND || code == ERROR_FILE_NOT_FOUND
                             ? path + " is missing: ktsensors.exe loads the library only from its own folder"
                             : path + " did not load (" + ErrorText(code) + ")" +
                                   (code == kLibraryInitFailed ? ": the qorix thermal driver could not be opened" : "");
            return Outcome::Failure;
        }
        if (scenario) {
            notebook_ = *scenario;
            haveNotebook_ = true;
        }
        clock_.Restart();
        return Outcome::Ok;
    }

    const SimConfig *Notebook() const override { return haveNotebook_ ? &notebook_ : nullptr; }

    const Exports &Functions() const override { return library_.exports; }

    // The driver is gone when its device no longer opens (the library holds a handle it opened
    // earlier, on which every request now fails).
    bool Gone(std::string *why) override
    {
        HANDLE device = CreateFileA(kDriverPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (device != INVALID_HANDLE_VALUE) {
            CloseHandle(device);
            return false;
        }
        DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND)
            return false;
        *why = "the qorix thermal driver went away (" + ErrorText(code) + ")";
        return true;
    }

    void Stop() override { UnloadKovaltherm(&library_); }

private:
    // Hands the scenario to the stand-in driver, which restarts its notebook with it and says
    // whether that is another notebook (a driver that does not say counts as another).
    bool SendScenario(const SimConfig &scenario, bool *anotherNotebook, std::string *error)
    {
        HANDLE device = CreateFileA(kDriverPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE) {
            *error = "cannot open the thermal driver to load the scenario (" + ErrorText(GetLastError()) + ")";
            return false;
        }
        SimConfig copy = scenario;
        uint32_t another = 1;
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(device, SIM_IOCTL_LOAD_SCENARIO, &copy, sizeof copy, &another, sizeof another,
                                  &returned, nullptr);
        DWORD code = GetLastError();
        CloseHandle(device);
        *anotherNotebook = returned < sizeof another || another != 0;
        if (!ok) {
            *error = "the thermal driver did not take the scenario (" + ErrorText(code) +
                     "): only the stand-in driver serves scenarios";
            return false;
        }
        return true;
    }

    Registry &registry_;
    WindowsClock &clock_;
    LoadedLibrary library_;
    SimConfig notebook_{};
    bool haveNotebook_ = false;
};

} // namespace

std::unique_ptr<Backend> MakeBackend()
{
    auto backend = std::make_unique<Backend>();
    backend->description = "Windows: Kovaltherm.dll and the qorix driver";
    auto registry = std::make_unique<WindowsRegistry>();
    auto clock = std::make_unique<WindowsClock>();
    backend->library = std::make_unique<WindowsLibrary>(*registry, *clock);
    backend->registry = std::move(registry);
    backend->clock = std::move(clock);
    return backend;
}

} // namespace ktsensors
