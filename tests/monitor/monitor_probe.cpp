// Talks to a running kovaltherm-monitor on the Wine desktop "shell" for its tests, or stands in
// for an idle GUI program as the footprint's baseline:
//   monitor_probe ping SECONDS   WM_NULL round trips to the window for SECONDS: median, max
//   monitor_probe rect [settings]   the window's (or the settings window's) rectangle on the
//                                desktop, if visible
//   monitor_probe send WHAT      taskbar-created, resume, close, or a menu command by number
//   monitor_probe post MESSAGE WPARAM LPARAM   posts a message (numbers as in C), as any program can
//   monitor_probe hold NAME SECONDS   owns the named mutex for SECONDS, as another program could
//   monitor_probe settings LOCATION LABEL WARNING CRITICAL   types into the settings window's row
//                                of LOCATION and presses Save
//   monitor_probe text ID        the text of the settings window's control ID ("[read-only] "
//                                before a field the person cannot change)
//   monitor_probe settings close closes the settings window
//   monitor_probe idle           a window and its message loop, until ended
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "tools/monitor/window.h"

namespace {

// The window of class `name`, waiting up to 10 s for it to appear.
HWND FindMonitor(const wchar_t *name = KOVALTHERM_MONITOR_CLASS)
{
    for (int i = 0; i < 200; ++i) {
        if (HWND window = FindWindowW(name, nullptr))
            return window;
        Sleep(50);
    }
    fprintf(stderr, "monitor_probe: no %ls window on this desktop\n", name);
    return nullptr;
}

// Types LABEL, WARNING and CRITICAL (UTF-8) into the row of LOCATION and presses Save.
int TypeSettings(HWND window, char **fields)
{
    int row = SETTINGS_ROW_BASE + 10 * atoi(fields[0]);
    for (int f = SETTINGS_LABEL; f <= SETTINGS_CRITICAL; ++f) {
        wchar_t text[128];
        HWND field = GetDlgItem(window, row + f);
        if (!field || !MultiByteToWideChar(CP_UTF8, 0, fields[1 + f], -1, text, 128) ||
            !SendMessageW(field, WM_SETTEXT, 0, (LPARAM)text))
            return 1;
    }
    return SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(window, IDOK)) == 0 ? 0 : 1;
}

// Prints the text of the control `id`, marking a read-only field.
int PrintText(HWND window, int id)
{
    HWND control = GetDlgItem(window, id);
    if (!control)
        return 1;
    wchar_t text[1024] = L"";
    SendMessageW(control, WM_GETTEXT, 1024, (LPARAM)text);
    char utf8[4096];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    bool readOnly = GetWindowLongW(control, GWL_STYLE) & ES_READONLY;
    wchar_t kind[16] = L"";
    GetClassNameW(control, kind, 16);
    printf("%s%s\n", !lstrcmpiW(kind, L"Edit") && readOnly ? "[read-only] " : "", utf8);
    return 0;
}

// A round trip this long fails the check; a window waiting on a hung read (about 3.4 s) misses
// it by far, and a loaded machine's scheduling does not reach it.
const double kSlowMs = 1000;

int Ping(HWND window, double seconds)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> ms;
    DWORD until = GetTickCount() + (DWORD)(seconds * 1000);
    int lost = 0;
    while ((int)(until - GetTickCount()) > 0) {
        DWORD_PTR result;
        QueryPerformanceCounter(&start);
        if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result))
            ++lost;
        QueryPerformanceCounter(&end);
        ms.push_back((end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart);
        Sleep(20);
    }
    std::sort(ms.begin(), ms.end());
    size_t over = std::count_if(ms.begin(), ms.end(), [](double v) { return v >= kSlowMs; });
    printf("wm_null: %zu round trips in %.0f s, median %.2f ms, max %.2f ms, %zu of %.0f ms or more, %d unanswered\n",
           ms.size(), seconds, ms.empty() ? 0 : ms[ms.size() / 2], ms.empty() ? 0 : ms.back(), over, kSlowMs, lost);
    return ms.empty() || over || lost ? 1 : 0;
}

LRESULT CALLBACK IdleProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

// A visible window doing nothing: what any Wine GUI program costs.
int Idle()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = IdleProc;
    windowClass.lpszClassName = L"MonitorProbeIdle";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"MonitorProbeIdle", L"idle", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                nullptr, nullptr, nullptr, nullptr);
    MSG msg;
    while (window && GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: monitor_probe ping SECONDS | rect | send WHAT | post MESSAGE WPARAM LPARAM | "
                        "hold NAME SECONDS | settings LOCATION LABEL WARNING CRITICAL | text ID | idle\n");
        return 2;
    }
    // Windows on the desktop of Wine's shell, where the monitor runs.
    if (HDESK desktop = OpenDesktopW(L"shell", 0, FALSE, GENERIC_ALL))
        SetThreadDesktop(desktop);
    if (!strcmp(argv[1], "idle"))
        return Idle();
    if (!strcmp(argv[1], "hold") && argc == 4) {
        // Owned by a wait: a mutex that exists already is not owned by its creation.
        HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[2]);
        if (!mutex || WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0)
            return 1;
        printf("holding\n");
        fflush(stdout);
        Sleep((DWORD)(atof(argv[3]) * 1000));
        return 0;
    }
    bool ofSettings = !strcmp(argv[1], "settings") || !strcmp(argv[1], "text") ||
                      (!strcmp(argv[1], "rect") && argc == 3 && !strcmp(argv[2], "settings"));
    HWND window = FindMonitor(ofSettings ? KOVALTHERM_SETTINGS_CLASS : KOVALTHERM_MONITOR_CLASS);
    if (!window)
        return 1;
    if (ofSettings) {
        HWND settings = window;
        if (!strcmp(argv[1], "settings") && argc == 3 && !strcmp(argv[2], "close"))
            return SendMessageW(settings, WM_CLOSE, 0, 0) == 0 ? 0 : 1;
        if (!strcmp(argv[1], "settings") && argc == 6)
            return TypeSettings(settings, argv + 2);
        if (!strcmp(argv[1], "text") && argc == 3)
            return PrintText(settings, atoi(argv[2]));
    }
    if (!strcmp(argv[1], "ping") && argc == 3)
        return Ping(window, atof(argv[2]));
    if (!strcmp(argv[1], "rect")) {
        RECT rect;
        if (!IsWindowVisible(window) || !GetWindowRect(window, &rect))
            return 1;
        printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
        return 0;
    }
    if (!strcmp(argv[1], "post") && argc == 5)
        return PostMessageW(window, (UINT)strtoul(argv[2], nullptr, 0), (WPARAM)strtoull(argv[3], nullptr, 0),
                            (LPARAM)strtoull(argv[4], nullptr, 0))
                   ? 0
                   : 1;
    if (!strcmp(argv[1], "send") && argc == 3) {
        DWORD_PTR result;
        UINT message = WM_COMMAND;
        WPARAM wParam = atoi(argv[2]);
        if (!strcmp(argv[2], "taskbar-created"))
            message = RegisterWindowMessageW(L"TaskbarCreated"), wParam = 0;
        else if (!strcmp(argv[2], "resume"))
            message = WM_POWERBROADCAST, wParam = PBT_APMRESUMEAUTOMATIC;
        else if (!strcmp(argv[2], "close"))
            message = WM_CLOSE, wParam = 0;
        return SendMessageTimeoutW(window, message, wParam, 0, SMTO_NORMAL, 10000, &result) ? 0 : 1;
    }
    fprintf(stderr, "monitor_probe: unknown command %s\n", argv[1]);
    return 2;
}
