// Stand-in kernel services: version query, kernel handles, device control routed to the
// simulated notebook, last error, and critical sections.
#include <pthread.h>
#include <string.h>


#include "platform/host/host_internal.h"

namespace host {

const char *const kDevicePathNt = "\\\\.\\qorix";
const char *const kDevicePath9x = "\\\\.\\qorix.vxd";

namespace {

// Kept in vectors that a reset empties but does not free: a fuzzer resets the machine and
// opens its handles again on every input.
struct Kernel {
    OsFamily family = OsFamily::Nt;
    std::vector<std::string> devices; // folded device names that open
    std::vector<uintptr_t> handles;   // open, in no order
    uintptr_t nextHandle = 0x100;
};

Kernel g_kernel;
thread_local DWORD t_lastError = ERROR_SUCCESS;

// The position of `name` (folded) among the devices; their count if absent.
size_t FindDevice(const std::string &name)
{
    size_t i = 0;
    while (i < g_kernel.devices.size() && g_kernel.devices[i] != name)
        ++i;
    return i;
}

// Forgets an open kernel handle; false if it is not one.
bool ForgetKernelHandle(uintptr_t handle)
{
    for (uintptr_t &open : g_kernel.handles)
        if (open == handle) {
            open = g_kernel.handles.back();
            g_kernel.handles.pop_back();
            return true;
        }
    return false;
}

// True if `handle` is an open kernel handle.
bool IsKernelHandle(uintptr_t handle)
{
    for (uintptr_t open : g_kernel.handles)
        if (open == handle)
            return true;
    return false;
}


} // namespace

namespace internal {

void ResetKernel()
{
    g_kernel.family = OsFamily::Nt;
    g_kernel.devices.clear();
    g_kernel.devices.push_back(FoldCase(kDevicePathNt));
    g_kernel.devices.push_back(FoldCase(kDevicePath9x));
    g_kernel.handles.clear();
    g_kernel.nextHandle = 0x100;
}

HANDLE OpenKernelHandle()
{
    uintptr_t handle = g_kernel.nextHandle;
    g_kernel.nextHandle += 4;
    g_kernel.handles.push_back(handle);
    return (HANDLE)handle;
}

} // namespace internal

using internal::Lock;

void SetOsFamily(OsFamily family)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    g_kernel.family = family;
}

void SetDeviceAvailable(const std::string &path, bool available)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    std::string folded = FoldCase(path);
    size_t at = FindDevice(folded);
    if (available && at == g_kernel.devices.size())
        g_kernel.devices.push_back(folded);
    if (!available && at < g_kernel.devices.size())
        g_kernel.devices.erase(g_kernel.devices.begin() + (ptrdiff_t)at);
}

int OpenHandleCount()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    int mutexes = 0;
    for (uintptr_t handle : g_kernel.handles)
        mutexes += internal::IsMutexHandle((HANDLE)handle);
    return (int)g_kernel.handles.size() - mutexes;
}

} // namespace host

using namespace host;

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::CallFails(FN_GET_VERSION_EX) || g_kernel.family == OsFamily::QueryFails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct Version {
        DWORD major, minor, build, platform;
        const char *csd;
    };
    static const Version nt = {5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 3"};
    static const Version win9x = {4, 10, 0x040A08AE, VER_PLATFORM_WIN32_WINDOWS, " A "};
    static const Version win32s = {3, 10, 0, VER_PLATFORM_WIN32s, ""};
    const Version &v = g_kernel.family == OsFamily::Nt      ? nt
                       : g_kernel.family == OsFamily::Win9x ? win9x
                                                            : win32s;
    info->dwMajorVersion = v.major;
    info->dwMinorVersion = v.minor;
    info->dwBuildNumber = v.build;
    info->dwPlatformId = v.platform;
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    strncpy(info->szCSDVersion, v.csd, sizeof info->szCSDVersion - 1);
    return TRUE;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::g_testHooks.createFile)
        internal::g_testHooks.createFile(lpFileName ? lpFileName : "", dwDesiredAccess, dwShareMode,
                                         lpSecurityAttributes != nullptr, dwCreationDisposition,
                                         dwFlagsAndAttributes, hTemplateFile != nullptr);
    if (internal::CallFails(FN_CREATE_FILE)) {
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    if (!lpFileName || FindDevice(FoldCase(lpFileName)) == g_kernel.devices.size()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return internal::OpenKernelHandle();
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    bool fails = internal::CallFails(FN_CLOSE_HANDLE);
    internal::ForgetTimer(hObject);
    internal::ForgetMutexHandle(hObject);
    if (!ForgetKernelHandle((uintptr_t)hObject) || fails) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::CallFails(FN_DEVICE_IO_CONTROL)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (!IsKernelHandle((uintptr_t)hDevice) || internal::IsTimer(hDevice) ||
        internal::IsMutexHandle(hDevice)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpOverlapped || !lpBytesReturned || (nInBufferSize && !lpInBuffer) ||
        (nOutBufferSize && !lpOutBuffer)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // METHOD_BUFFERED: the driver works in one system buffer that starts as a copy of the
    // input; on success the bytes it reports are copied to the caller's output buffer. The
    // buffer is kept between calls (under the lock) so that its room is reused.
    static std::vector<BYTE> system;
    system.assign(nInBufferSize > nOutBufferSize ? nInBufferSize : nOutBufferSize, 0);
    if (nInBufferSize)
        memcpy(system.data(), lpInBuffer, nInBufferSize);
    uint32_t returned = 0;
    uint32_t error = SimDeviceControl(&internal::Notebook(), dwIoControlCode, system.data(),
                                      nInBufferSize, system.data(), nOutBufferSize, &returned,
                                      (uint32_t)internal::Now());
    *lpBytesReturned = 0;
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    if (returned > nOutBufferSize)
        returned = nOutBufferSize;
    if (returned)
        memcpy(lpOutBuffer, system.data(), returned);
    *lpBytesReturned = returned;
    return TRUE;
}

static_assert(sizeof(CRITICAL_SECTION) >= sizeof(pthread_mutex_t), "critical section too small");

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(reinterpret_cast<pthread_mutex_t *>(section->opaque), &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t *>(section->opaque));
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutex_lock(reinterpret_cast<pthread_mutex_t *>(section->opaque));
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t *>(section->opaque));
}

} // extern "C"
