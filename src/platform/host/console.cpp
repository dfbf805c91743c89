// The stand-in's process environment, debugger output and standard error: the environment
// is the real process's, debugger strings go to the test controls' record, standard error is
// fd 2.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/host/host_internal.h"

namespace host {

namespace {

// The standard-error handle GetStdHandle gives; any other handle refuses writes.
HANDLE const kStdErrorHandle = (HANDLE)(uintptr_t)0xE0;

} // namespace

} // namespace host

extern "C" {

// A privileged process (set-user-ID, set-group-ID: AT_SECURE) has no variables: whoever
// started it chose them.
DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize)
{
    const char *value = secure_getenv(lpName);
    if (!value) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    DWORD length = (DWORD)strlen(value);
    if (length + 1 > nSize)
        return length + 1;
    memcpy(lpBuffer, value, length + 1);
    return length;
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString)
{
    if (host::internal::g_testHooks.debugString)
        host::internal::g_testHooks.debugString(lpOutputString ? lpOutputString : "");
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    return nStdHandle == STD_ERROR_HANDLE ? host::kStdErrorHandle : INVALID_HANDLE_VALUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    (void)lpOverlapped;
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    if (hFile != host::kStdErrorHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ssize_t written = write(STDERR_FILENO, lpBuffer, nNumberOfBytesToWrite);
    if (written < 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = (DWORD)written;
    return TRUE;
}

} // extern "C"
