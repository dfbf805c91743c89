// kovaltherm-monitor: the notebook's temperatures in the notification area. The hottest
// sensor's temperature is the icon, on the colour of the worst status; the tooltip lists every
// sensor; a notification says when a sensor becomes warning or critical and when readings fail
// or recover; the window charts the last ten minutes. Readings run on a worker thread, so a
// controller that never answers leaves the icon, the menu and the window responsive. The
// machine's sensor configuration names the sensors, leaves some out and sets the owner's
// limits, which the icon follows where set; the settings window changes it, through the
// monitor's own copy started with administrator rights (--save-sensor-settings).
#include <windows.h>
#include <shellapi.h>

#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <memory>
#include <string>

#include "drawing.h"
#include "model.h"
#include "notify_icon.h"
#include "reader.h"
#include "save_settings.h"
#include "settings.h"
#include "settings_window.h"
#include "shell.h"
#include "window.h"
#include "wide_windows.h"

namespace monitor {

namespace {

const wchar_t kInstanceMutex[] = L"Local\\Kovaltherm.Monitor";
// How long a second start looks for the running monitor's window, and how often.
const DWORD kRunningWindowWaitMs = 3000, kRunningWindowPollMs = 100;
const wchar_t kTitle[] = L"Kovaltherm monitor";
// A second start asks the running monitor to show its window.
const UINT WM_MONITOR_SHOW = WM_APP + 3;
const double kDefaultIntervalSeconds = 2, kMinIntervalSeconds = 0.5, kMaxIntervalSeconds = 3600;
// How long Exit waits, the icon and window already gone, for the library call in progress, so
// that a controller exchange is not cut off in the middle: a read on a controller that never
// answers gives up after about 3.4 s. A longer wait (for other programs' calls) is left to the
// process's end.
const DWORD kStopWaitMs = 4000;
// The timer that marks the latest reading as too old to show as current (OverdueMs).
const UINT_PTR kStaleTimer = 1;

const wchar_t kUsage[] =
    L"Usage: kovaltherm-monitor [--interval SECONDS]\n"
    L"\n"
    L"Shows the notebook's temperatures in the notification area: the hottest sensor's\n"
    L"temperature in the icon, on the colour of the worst status (green normal, yellow\n"
    L"warning, red critical, grey no status; \"!\" on dark grey while readings fail, an\n"
    L"ellipsis on grey while a reading is awaited), every sensor in the icon's tooltip, a\n"
    L"notification when a sensor becomes warning or critical and when readings fail or\n"
    L"recover, and a chart of the last 10 minutes (click the icon). The sensors' names, the\n"
    L"ones left out and the owner's limits come from %ProgramData%\\Kovaltherm\\sensors.conf\n"
    L"and Group Policy; where the owner set limits, the icon follows them.\n"
    L"Right-click the icon for the menu: Open, Sensor settings, Notifications, Start with\n"
    L"Windows, Exit.\n"
    L"\n"
    L"  --interval SECONDS  take a reading every SECONDS (0.5 to 3600; default 2)\n"
    L"  --help              show this text and exit\n"
    L"\n"
    L"The sensors are read through Kovaltherm.dll in the program's own folder. One monitor\n"
    L"runs per user session: starting another opens the running one's window.\n"
    L"Exit status: 0; 1 if the monitor could not start; 2 for a wrong command line.\n";

// Windows 10's per-monitor DPI functions, where the system has them.
struct DpiFunctions {
    UINT(WINAPI *getDpiForWindow)(HWND) = nullptr;
    int(WINAPI *getSystemMetricsForDpi)(int, UINT) = nullptr;
};

struct App {
    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    UINT taskbarCreated = 0;
    DWORD intervalMs = 2000;
    Reader reader;
    History history;
    std::unique_ptr<Reading> latest;
    NotifyIcon icon;
    bool notifications = true;
    UINT dpi = 96;
    HFONT font = nullptr, boldFont = nullptr;
    bool highContrast = false;
    bool sized = false; // the window has had its first size
    bool stale = false; // no reading for too long: the icon shows none
    DpiFunctions dpiFunctions;
};

App app;

template <class Function> void Find(const wchar_t *module, const char *name, Function *function)
{
    HMODULE handle = GetModuleHandleW(module);
    *function = handle ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(handle, name)))
                       : nullptr;
}

int Scaled(int value) { return MulDiv(value, (int)app.dpi, 96); }

UINT WindowDpi(HWND window)
{
    UINT dpi = window && app.dpiFunctions.getDpiForWindow ? app.dpiFunctions.getDpiForWindow(window) : 0;
    return dpi ? dpi : ScreenDpi();
}

// The icon's size: the small icon at the DPI of the taskbar's display.
int IconSize()
{
    UINT dpi = WindowDpi(FindWindowW(L"Shell_TrayWnd", nullptr));
    if (app.dpiFunctions.getSystemMetricsForDpi)
        return app.dpiFunctions.getSystemMetricsForDpi(SM_CXSMICON, dpi);
    return MulDiv(GetSystemMetrics(SM_CXSMICON), (int)dpi, (int)ScreenDpi());
}

bool HighContrast()
{
    HIGHCONTRASTW contrast = {};
    contrast.cbSize = sizeof contrast;
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON);
}

// The message font at the window's DPI, and a bold one.
void MakeFonts()
{
    if (app.font)
        DeleteObject(app.font);
    if (app.boldFont)
        DeleteObject(app.boldFont);
    app.font = MakeMessageFont(app.dpi, false);
    app.boldFont = MakeMessageFont(app.dpi, true);
}

// How long without a reading makes the latest too old to show as current: five intervals and
// five seconds (a reading can wait on the controller and on other programs).
DWORD OverdueMs() { return 5 * app.intervalMs + 5000; }

// The latest reading while it is current, else null.
const Reading *Current() { return app.stale ? nullptr : app.latest.get(); }

// Brings the icon up to date with the latest reading.
void RefreshIcon() { UpdateIcon(&app.icon, Current(), IconSize()); }

void ShowChart()
{
    if (!app.sized) {
        // The first time: wide enough for ten minutes, a panel per sensor, within the work area.
        RECT work;
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        size_t panels = app.history.shown.empty() ? 1 : app.history.shown.size();
        int width = std::min(Scaled(780), (int)(work.right - work.left));
        int height = std::min(Scaled(110 + 180 * (int)std::min<size_t>(panels, 4)), (int)(work.bottom - work.top));
        SetWindowPos(app.window, nullptr, work.left + (work.right - work.left - width) / 2,
                     work.top + (work.bottom - work.top - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
        app.sized = true;
    }
    ShowWindow(app.window, IsIconic(app.window) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(app.window);
    InvalidateRect(app.window, nullptr, FALSE);
}

// After the settings window saved: a reading at once, which takes the new file.
void ReadNow() { WakeReader(&app.reader); }

void Exit()
{
    RemoveIcon(&app.icon);
    ShowWindow(app.window, SW_HIDE);
    StopReader(&app.reader, kStopWaitMs);
    DestroyWindow(app.window);
}

void OnCommand(UINT command)
{
    switch (command) {
    case MONITOR_OPEN: ShowChart(); break;
    case MONITOR_SETTINGS: OpenSettings(app.instance, app.latest.get(), app.dpi, ReadNow); break;
    case MONITOR_NOTIFICATIONS:
        app.notifications = !app.notifications;
        SetNotificationsOn(app.notifications);
        break;
    case MONITOR_START_WITH_WINDOWS:
        if (!SetStartWithWindows(!StartsWithWindows()))
            MessageBoxW(app.window, L"The Run key of the current user could not be changed.", kTitle,
                        MB_OK | MB_ICONWARNING);
        break;
    case MONITOR_EXIT: Exit(); break;
    }
}

void OnIcon(WPARAM wParam, LPARAM lParam)
{
    POINT at = {0, 0};
    switch (ReadIconMessage(app.icon, wParam, lParam, &at)) {
    case IconRequest::Open: ShowChart(); break;
    case IconRequest::Menu:
        ShowIconMenu(app.window, at, app.notifications, StartsWithWindows(), IconLimitsLine(Current()));
        break;
    case IconRequest::None: break;
    }
}

// Takes in a reading of the worker's.
void OnReading(std::unique_ptr<Reading> reading)
{
    Notice notice;
    if (NoticeFor(app.latest.get(), *reading, &notice) && app.notifications)
        ShowNotice(&app.icon, notice);
    Record(&app.history, *reading);
    app.latest = std::move(reading);
    app.stale = false;
    SettingsReading(*app.latest);
    SetTimer(app.window, kStaleTimer, OverdueMs(), nullptr);
    RefreshIcon();
    if (IsWindowVisible(app.window))
        InvalidateRect(app.window, nullptr, FALSE);
}

void Paint()
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(app.window, &paint);
    RECT client;
    GetClientRect(app.window, &client);
    // Drawn off screen, then copied, so that a repaint never flickers.
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
    if (memory && bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ChartView view;
        view.latest = app.latest.get();
        view.overdue = app.stale;
        view.overdueMs = OverdueMs();
        view.nowMs = GetTickCount64();
        view.intervalMs = app.intervalMs;
        view.dpi = app.dpi;
        view.highContrast = app.highContrast;
        view.font = app.font;
        view.boldFont = app.boldFont;
        PaintChart(memory, client, app.history, view);
        BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old);
    }
    if (bitmap)
        DeleteObject(bitmap);
    if (memory)
        DeleteDC(memory);
    EndPaint(app.window, &paint);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == app.taskbarCreated && message != 0) {
        RedrawFace(&app.icon, Current(), IconSize()); // a new shell may show icons at another size
        RestoreIcon(&app.icon);
        return 0;
    }
    switch (message) {
    case WM_MONITOR_READING:
        for (Reading reading; NextReading(&app.reader, &reading);)
            OnReading(std::make_unique<Reading>(std::move(reading)));
        return 0;
    case WM_MONITOR_ICON: OnIcon(wParam, lParam); return 0;
    case WM_MONITOR_SHOW: ShowChart(); return 0;
    case WM_COMMAND: OnCommand(LOWORD(wParam)); return 0;
    case WM_TIMER:
        if (wParam == kStaleTimer) {
            KillTimer(window, kStaleTimer);
            app.stale = true;
            RefreshIcon();
            InvalidateRect(window, nullptr, FALSE);
        }
        return 0;
    case WM_PAINT: Paint(); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_SIZE: InvalidateRect(window, nullptr, FALSE); return 0;
    case WM_CLOSE: ShowWindow(window, SW_HIDE); return 0; // the monitor goes on in the notification area
    case WM_GETMINMAXINFO: {
        MINMAXINFO *info = reinterpret_cast<MINMAXINFO *>(lParam);
        info->ptMinTrackSize = {Scaled(420), Scaled(260)};
        return 0;
    }
    case WM_DPICHANGED: {
        app.dpi = HIWORD(wParam);
        MakeFonts();
        const RECT *suggested = reinterpret_cast<const RECT *>(lParam);
        SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        RefreshIcon();
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    }
    case WM_SETTINGCHANGE:
    case WM_SYSCOLORCHANGE:
    case WM_DISPLAYCHANGE:
        app.highContrast = HighContrast();
        MakeFonts();
        RefreshIcon();
        InvalidateRect(window, nullptr, FALSE);
        break;
    case WM_POWERBROADCAST:
        if (wParam == PBT_APMRESUMEAUTOMATIC) {
            RestoreIcon(&app.icon);
            WakeReader(&app.reader);
        }
        return TRUE;
    case WM_ENDSESSION:
        // The session ends, or an installer's Restart Manager closes the program to replace it.
        if (wParam)
            Exit();
        return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// --- the command line -----------------------------------------------------------------------

// Writes `text` where its reader is: standard output when it was redirected or belongs to a
// console, else the console of the program that started this one (a command prompt), else a
// message box, as a program started from the desktop reports.
void Say(const wchar_t *text, bool error)
{
    HANDLE out = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    bool attached = false;
    if (!out || out == INVALID_HANDLE_VALUE || GetFileType(out) == FILE_TYPE_UNKNOWN) {
        attached = AttachConsole(ATTACH_PARENT_PROCESS);
        out = attached ? CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)
                       : INVALID_HANDLE_VALUE;
    }
    if (out == INVALID_HANDLE_VALUE || !out) {
        MessageBoxW(nullptr, text, kTitle, MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
        return;
    }
    DWORD written;
    if (GetFileType(out) == FILE_TYPE_CHAR && WriteConsoleW(out, text, (DWORD)wcslen(text), &written, nullptr)) {
        if (attached)
            CloseHandle(out);
        return;
    }
    // A file or a pipe gets UTF-8 with the line ends of Windows.
    std::wstring crlf;
    for (const wchar_t *c = text; *c; ++c)
        crlf += *c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, *c);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, crlf.c_str(), (int)crlf.size(), nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, crlf.c_str(), (int)crlf.size(), &utf8[0], bytes, nullptr, nullptr);
    WriteFile(out, utf8.data(), (DWORD)utf8.size(), &written, nullptr);
    if (attached)
        CloseHandle(out);
}

enum class Parse { Run, Help, Error, Save };

// Reads the command line; with Error, `message` says what is wrong in one line; with Save (the
// settings window's elevated writer, alone on its command line), `message` is the change.
Parse ParseCommandLine(double *intervalSeconds, std::wstring *message)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Parse result = Parse::Run;
    if (argv && argc == 3 && std::wstring(argv[1]) == kSaveArgument) {
        *message = argv[2];
        LocalFree(argv);
        return Parse::Save;
    }
    for (int i = 1; argv && i < argc && result == Parse::Run; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            result = Parse::Help;
        } else if (arg == L"--interval" || arg.rfind(L"--interval=", 0) == 0) {
            std::wstring value = arg.size() > 10 ? arg.substr(11) : (i + 1 < argc ? argv[++i] : L"");
            wchar_t *end = nullptr;
            double seconds = wcstod(value.c_str(), &end);
            if (value.empty() || *end || !(seconds >= kMinIntervalSeconds && seconds <= kMaxIntervalSeconds)) {
                *message = L"kovaltherm-monitor: --interval takes a number of seconds from 0.5 to 3600, not '" +
                           value + L"'\n";
                result = Parse::Error;
            } else {
                *intervalSeconds = seconds;
            }
        } else {
            *message = L"kovaltherm-monitor: unknown option '" + arg + L"' (see --help)\n";
            result = Parse::Error;
        }
    }
    LocalFree(argv);
    return result;
}

int Run(HINSTANCE instance)
{
    ktsensors::RestrictLibrarySearch();
    double intervalSeconds = kDefaultIntervalSeconds;
    std::wstring message;
    switch (ParseCommandLine(&intervalSeconds, &message)) {
    case Parse::Help: Say(kUsage, false); return 0;
    case Parse::Error: Say(message.c_str(), true); return 2;
    case Parse::Save: return WriteSensorSettings(message); // before the one-per-session name: it is no monitor
    case Parse::Run: break;
    }

    // One monitor per session: a second start shows the first one's window and ends.
    HANDLE instanceMutex = CreateMutexW(nullptr, FALSE, kInstanceMutex);
    if (!instanceMutex) {
        Say(L"kovaltherm-monitor: cannot tell whether a monitor already runs in this session\n", true);
        return 1;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // The running monitor makes its window just after the name: one starting at the same
        // moment is given a little while.
        HWND running = FindWindowW(KOVALTHERM_MONITOR_CLASS, nullptr);
        for (DWORD waited = 0; !running && waited < kRunningWindowWaitMs; waited += kRunningWindowPollMs) {
            Sleep(kRunningWindowPollMs);
            running = FindWindowW(KOVALTHERM_MONITOR_CLASS, nullptr);
        }
        DWORD process = 0;
        if (!running || !GetWindowThreadProcessId(running, &process)) {
            Say(L"kovaltherm-monitor: not started: another program holds Local\\Kovaltherm.Monitor, the name "
                L"that keeps the monitor to one per session, and no monitor window answers; end that program or "
                L"sign out and in again\n",
                true);
            return 1;
        }
        AllowSetForegroundWindow(process);
        PostMessageW(running, WM_MONITOR_SHOW, 0, 0);
        return 0;
    }

#ifdef KOVALTHERM_MONITOR_TEST
    StartShellLog();
#endif
    Find(L"user32.dll", "GetDpiForWindow", &app.dpiFunctions.getDpiForWindow);
    Find(L"user32.dll", "GetSystemMetricsForDpi", &app.dpiFunctions.getSystemMetricsForDpi);
    app.instance = instance;
    app.intervalMs = (DWORD)(intervalSeconds * 1000 + 0.5);
    app.history = MakeHistory(kHistorySpanMs, app.intervalMs);
    app.notifications = NotificationsOn();
    app.taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = KOVALTHERM_MONITOR_CLASS;
    if (!RegisterClassExW(&windowClass))
        return 1;
    app.window = CreateWindowExW(0, KOVALTHERM_MONITOR_CLASS, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (!app.window)
        return 1;
    app.icon.window = app.window;
    app.dpi = WindowDpi(app.window);
    app.highContrast = HighContrast();
    MakeFonts();
    RefreshIcon();
    if (!StartReader(&app.reader, app.window, app.intervalMs)) {
        RemoveIcon(&app.icon);
        Say(L"kovaltherm-monitor: cannot start the thread that reads the sensors\n", true);
        return 1;
    }

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (SettingsDialogMessage(&msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

} // namespace

} // namespace monitor

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return monitor::Run(instance); }
