// Stops the Kovaltherm service (or finds it stopping) and watches it stop, as the service
// manager sees it: every change of state, checkpoint and wait hint with its time, the longest a
// pending state went without a new checkpoint, and the exit code it stopped with.
// Usage: service_stop_probe.exe BOUND_MS
// Exit 0 when the service stopped within BOUND_MS of the request, with exit code 0 and a
// checkpoint that rose within every wait hint; 1 otherwise.
// Usage: service_stop_probe.exe requests
// Prints how many requests the stand-in driver has had since its scenario was loaded, which
// counts the controller exchanges of every program.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sim/notebook.h"

namespace {

// How often the state is read, and how long the probe watches at most.
const DWORD kPollMs = 10;
const DWORD kGiveUpMs = 60000;

const char *StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    default: return "OTHER";
    }
}

// Prints the driver's request count; 1 when the driver does not answer.
int PrintRequests()
{
    static SimLogPage page;
    uint32_t first = 0;
    memcpy(&page, &first, sizeof first);
    HANDLE driver = CreateFileA("\\\\.\\qorix", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD returned = 0;
    BOOL ok = driver != INVALID_HANDLE_VALUE &&
              DeviceIoControl(driver, SIM_IOCTL_READ_LOG, &page, sizeof page, &page, sizeof page, &returned, nullptr);
    if (driver != INVALID_HANDLE_VALUE)
        CloseHandle(driver);
    if (!ok)
        return fprintf(stderr, "the driver did not answer (error %lu)\n", GetLastError()), 1;
    printf("%u\n", (unsigned)page.total);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "requests") == 0)
        return PrintRequests();
    if (argc != 2)
        return fprintf(stderr, "usage: service_stop_probe.exe BOUND_MS\n"), 2;
    ULONGLONG bound = strtoul(argv[1], nullptr, 10);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Kovaltherm", SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr;
    if (!service)
        return fprintf(stderr, "cannot open the service (error %lu)\n", GetLastError()), 1;
    SERVICE_STATUS status{};
    ULONGLONG start = GetTickCount64();
    // Another program (an uninstall) may have asked first: then the service is stopping already.
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
        return fprintf(stderr, "the stop was refused (error %lu)\n", GetLastError()), 1;
    SERVICE_STATUS last{};
    last.dwCurrentState = 0;
    ULONGLONG now = start, lastCheckpoint = start, longestGap = 0, hint = 0;
    bool hintKept = true;
    for (;;) {
        now = GetTickCount64();
        if (!QueryServiceStatus(service, &status) || now - start > kGiveUpMs)
            break;
        if (status.dwCurrentState != last.dwCurrentState || status.dwCheckPoint != last.dwCheckPoint ||
            status.dwWaitHint != last.dwWaitHint) {
            printf("%6llu ms  %-12s checkpoint %lu  wait hint %lu ms\n", now - start, StateName(status.dwCurrentState),
                   status.dwCheckPoint, status.dwWaitHint);
            if (status.dwCurrentState == SERVICE_STOP_PENDING && last.dwCurrentState == SERVICE_STOP_PENDING) {
                ULONGLONG gap = now - lastCheckpoint;
                longestGap = gap > longestGap ? gap : longestGap;
                hintKept = hintKept && gap <= hint;
            }
            lastCheckpoint = now;
            hint = status.dwWaitHint;
            last = status;
        }
        if (status.dwCurrentState == SERVICE_STOPPED)
            break;
        Sleep(kPollMs);
    }
    bool stopped = status.dwCurrentState == SERVICE_STOPPED;
    ULONGLONG took = now - start;
    printf("%s after %llu ms (bound %llu ms), exit code %lu; longest without a new checkpoint %llu ms\n",
           stopped ? "stopped" : "NOT stopped", took, bound, status.dwWin32ExitCode, longestGap);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return stopped && took <= bound && status.dwWin32ExitCode == 0 && hintKept ? 0 : 1;
}
