// Library entry: attach and detach with the process-wide device state.
#include "frame/entry.h"

#include "base/device_state.h"
#include "base/diagnostics.h"
#include "cache/store.h"
#include "frame/library_lock.h"
#include "hw/controller.h"
#include "hw/driver.h"
#include "hw/wait.h"
#include "kovaltherm.h"

DeviceState g_deviceState;

namespace {

// Platform identifier standing for a failed version query: matches no OS family.
const DWORD PLATFORM_UNKNOWN = 0xFFFFFFFF;

// Device names of the thermal driver, by OS family.
const char DEVICE_PATH_NT[] = "\\\\.\\qorix";
const char DEVICE_PATH_9X[] = "\\\\.\\qorix.vxd";

// Configuration bytes holding the firmware port's low and high byte.
enum { CONFIG_PORT_LOW = 0x7E, CONFIG_PORT_HIGH = 0x7F };

// Zeroes the device state, as at load.
void ClearDeviceState(void) { g_deviceState = DeviceState(); }

// Copies a device name into the device state.
void SetDevicePath(const char *path)
{
    int i = 0;
    for (; path[i] && i < DEVICE_PATH_SIZE - 1; ++i)
        g_deviceState.devicePath[i] = path[i];
    g_deviceState.devicePath[i] = '\0';
}

// Returns the OS family's platform identifier, or PLATFORM_UNKNOWN if the query fails.
DWORD QueryPlatform(void)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) ? version.dwPlatformId : PLATFORM_UNKNOWN;
}

// Returns TRUE if the Thermal key exists or the driver's support probe succeeds.
BOOL IsThermalSupported(void)
{
    return CacheKeyExists(CACHE_THERMAL_KEY) || ProbeThermal();
}

// Opens the driver by the OS family's device name, decides support and reads the firmware
// port; returns FALSE when the driver cannot be opened.
BOOL AttachLibrary(void)
{
    ClearDeviceState();
    ResetWaitTimer();
    CreateLibraryLock();
    ConfigureTrace();
    DWORD platform = QueryPlatform();
    DWORD access;
    DWORD flags;
    if (platform == VER_PLATFORM_WIN32_NT) {
        SetDevicePath(DEVICE_PATH_NT);
        access = GENERIC_READ | GENERIC_WRITE;
        flags = 0;
    } else if (platform == VER_PLATFORM_WIN32_WINDOWS) {
        SetDevicePath(DEVICE_PATH_9X);
        access = 0;
        flags = FILE_FLAG_DELETE_ON_CLOSE;
    } else {
        return FALSE;
    }
    HANDLE handle =
        CreateFileA(g_deviceState.devicePath, access, 0, NULL, OPEN_EXISTING, flags, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        (void)GetLastError();
        return FALSE;
    }
    g_deviceState.deviceHandle = handle;
    // Every process that loads the library shares the controller and the registry cache.
    // The 9x family has no object security, so the mutexes get no descriptor there.
    BOOL withDescriptor = platform == VER_PLATFORM_WIN32_NT;
    OpenThermalMutex(withDescriptor);
    OpenControllerMutex(withDescriptor);
    g_deviceState.thermalSupported = IsThermalSupported();
    if (g_deviceState.thermalSupported == 1) {
        // A failed read yields its own index, and the port is built from it all the same.
        BYTE low, high;
        ReadConfigByte(CONFIG_PORT_LOW, &low);
        ReadConfigByte(CONFIG_PORT_HIGH, &high);
        g_deviceState.firmwarePort = (WORD)(high * 256 + low);
    }
    return TRUE;
}

// Closes the driver if the attach opened it, the wait timer if a wait created it, and the
// named mutexes.
void DetachLibrary(void)
{
    if (g_deviceState.deviceHandle)
        CloseHandle(g_deviceState.deviceHandle);
    g_deviceState.deviceHandle = NULL;
    CloseWaitTimer();
    CloseControllerMutex();
    DeleteLibraryLock();
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return AttachLibrary();
    case DLL_PROCESS_DETACH:
        DetachLibrary();
        return TRUE;
    default:
        return TRUE;
    }
}

extern "C" void KOVALTHERM_CDECL ShutdownLibrary(void) {}
