// kovaltherm-monitor: the notebook's temperatures in the notification area. The hottest
// sensor's temperature is the icon, on the colour of the worst status; the tooltip lists every
// sensor; a notification says when a sensor becomes warning or critical and when readings fail
// or recover; the window charts the last ten minutes. Readings run on a worker thread, so a
// controller that never answers leaves the icon, the menu and the window responsive.
#include <windows.h>
#include <shellapi.h>

#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <memory>
#include <string>

#include "drawing.h"
#include "model.h"
#include "reader.h"
#include "shell.h"
#include "window.h"
#include "wide_windows.h"

namespace monitor {

ShellCalls shell = {Shell_NotifyIconW};

namespace {

const wchar_t kInstanceMutex[] = L"Local\\Kovaltherm.Monitor";
const wchar_t kTitle[] = L"Kovaltherm monitor";
const wchar_t kSettingsKey[] = L"Software\\Kovaltherm\\Monitor";
const wchar_t kNotificationsValue[] = L"Notifications";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"Kovaltherm Monitor";
const UINT kIconId = 1;
const UINT WM_MONITOR_ICON = WM_APP + 1;
// A second start asks the running monitor to show its window.
const UINT WM_MONITOR_SHOW = WM_APP + 3;
const double kDefaultIntervalSeconds = 2, kMinIntervalSeconds = 0.5, kMaxIntervalSeconds = 3600;
// How long Exit waits, the icon and window already gone, for the library call in progress, so
// that a controller exchange is not cut off in the middle: a read on a controller that never
// answers gives up after about 3.4 s. A longer wait (for other programs' calls) is left to the
// process's end.
const DWORD kStopWaitMs = 4000;
// The timer that marks the latest reading as too old to show as current: no reading for five
// intervals and five seconds (a reading can wait on the controller and on other programs).
const UINT_PTR kStaleTimer = 1;

const wchar_t kUsage[] =
    L"Usage: kovaltherm-monitor [--interval SECONDS]\n"
    L"\n"
    L"Shows the notebook's temperatures in the notification area: the hottest sensor's\n"
    L"temperature in the icon, on the colour of the worst status (green normal, yellow\n"
    L"warning, red critical, grey no status, dark grey \"--\" while no reading succeeds), every\n"
    L"sensor in the icon's tooltip, a notification when a sensor becomes warning or critical\n"
    L"and when readings fail or recover, and a chart of the last 10 minutes (click the icon).\n"
    L"Right-click the icon for the menu: Open, Notifications, Start with Windows, Exit.\n"
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
    BOOL(WINAPI *systemParametersInfoForDpi)(UINT, UINT, PVOID, UINT, UINT) = nullptr;
};

struct App {
    HWND window = nullptr;
    UINT taskbarCreated = 0;
    DWORD intervalMs = 2000;
    Reader reader;
    History history;
    std::unique_ptr<Reading> latest;
    bool iconAdded = false;
    bool version4 = false; // the shell takes NOTIFYICON_VERSION_4 callbacks
    bool notifications = true;
    HICON icon = nullptr;
    IconFace face{L"", 0, 0};
    int iconSize = 0;
    std::wstring tip;
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

UINT ScreenDpi()
{
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? (UINT)dpi : 96;
}

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
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    bool atDpi = app.dpiFunctions.systemParametersInfoForDpi &&
                 app.dpiFunctions.systemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, app.dpi);
    if (!atDpi) {
        SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
        metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, (int)app.dpi, (int)ScreenDpi());
    }
    if (app.font)
        DeleteObject(app.font);
    if (app.boldFont)
        DeleteObject(app.boldFont);
    app.font = CreateFontIndirectW(&metrics.lfMessageFont);
    metrics.lfMessageFont.lfWeight = FW_BOLD;
    app.boldFont = CreateFontIndirectW(&metrics.lfMessageFont);
}

// --- settings -------------------------------------------------------------------------------

DWORD ReadSetting(const wchar_t *name, DWORD fallback)
{
    DWORD value = fallback, size = sizeof value, type = 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return fallback;
    if (RegQueryValueExW(key, name, nullptr, &type, (BYTE *)&value, &size) != ERROR_SUCCESS || type != REG_DWORD)
        value = fallback;
    RegCloseKey(key);
    return value;
}

bool WriteSetting(const wchar_t *name, DWORD value)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

bool StartsWithWindows()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    bool present = RegQueryValueExW(key, kRunValue, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return present;
}

// Adds this program, by its quoted full path, to the user's Run key, or removes it.
bool SetStartWithWindows(bool on)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG rc;
    if (on) {
        wchar_t path[MAX_PATH];
        DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(path, length) + L"\"";
        rc = length && length < MAX_PATH
                 ? RegSetValueExW(key, kRunValue, 0, REG_SZ, (const BYTE *)command.c_str(),
                                  (DWORD)((command.size() + 1) * sizeof(wchar_t)))
                 : ERROR_FILENAME_EXCED_RANGE;
    } else {
        rc = RegDeleteValueW(key, kRunValue);
        if (rc == ERROR_FILE_NOT_FOUND)
            rc = ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

// --- the notification area ------------------------------------------------------------------

NOTIFYICONDATAW IconData(UINT flags)
{
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = app.window;
    data.uID = kIconId;
    data.uFlags = flags;
    data.uCallbackMessage = WM_MONITOR_ICON;
    data.hIcon = app.icon;
    wcsncpy(data.szTip, app.tip.c_str(), ARRAYSIZE(data.szTip) - 1);
    return data;
}

const UINT kAllFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;

void AddIcon()
{
    NOTIFYICONDATAW data = IconData(kAllFlags);
    app.iconAdded = shell.notifyIcon(NIM_ADD, &data);
    if (!app.iconAdded)
        return;
    data.uVersion = NOTIFYICON_VERSION_4;
    app.version4 = shell.notifyIcon(NIM_SETVERSION, &data);
}

// After Explorer restarted or the machine resumed: the icon is updated if the shell still has
// it, else added; never added twice.
void RestoreIcon()
{
    NOTIFYICONDATAW data = IconData(kAllFlags);
    if (!shell.notifyIcon(NIM_MODIFY, &data))
        AddIcon();
    else
        app.iconAdded = true;
}

void RemoveIcon()
{
    if (!app.iconAdded)
        return;
    NOTIFYICONDATAW data = IconData(0);
    shell.notifyIcon(NIM_DELETE, &data);
    app.iconAdded = false;
}

// Redraws the icon and the tooltip from the latest reading; returns the NIF_ flags of what
// changed.
UINT RedrawFace()
{
    const Reading *current = app.stale ? nullptr : app.latest.get();
    IconFace face = FaceFor(current);
    std::wstring tip = TooltipFor(current);
    int size = IconSize();
    UINT flags = 0;
    if (!app.icon || size != app.iconSize || face.text != app.face.text || face.background != app.face.background ||
        face.foreground != app.face.foreground) {
        HICON icon = MakeIcon(face, size);
        if (icon) {
            // The window's own title bar shows the same icon.
            SendMessageW(app.window, WM_SETICON, ICON_SMALL, (LPARAM)icon);
            if (app.icon)
                DestroyIcon(app.icon);
            app.icon = icon;
            app.face = face;
            app.iconSize = size;
            flags |= NIF_ICON;
        }
    }
    if (tip != app.tip) {
        app.tip = tip;
        flags |= NIF_TIP | NIF_SHOWTIP;
    }
    return flags;
}

// Hands the shell what changed in the icon and the tooltip, adding the icon if it has none.
void UpdateIcon()
{
    UINT flags = RedrawFace();
    if (!app.iconAdded) {
        AddIcon();
        return;
    }
    if (!flags)
        return;
    NOTIFYICONDATAW data = IconData(flags);
    if (!shell.notifyIcon(NIM_MODIFY, &data))
        RestoreIcon();
}

void ShowNotice(const Notice &notice)
{
    if (!app.iconAdded)
        return;
    NOTIFYICONDATAW data = IconData(NIF_INFO);
    wcsncpy(data.szInfoTitle, notice.title.c_str(), ARRAYSIZE(data.szInfoTitle) - 1);
    wcsncpy(data.szInfo, notice.text.c_str(), ARRAYSIZE(data.szInfo) - 1);
    data.dwInfoFlags = (notice.kind == NoticeKind::Error     ? NIIF_ERROR
                        : notice.kind == NoticeKind::Warning ? NIIF_WARNING
                                                             : NIIF_INFO) |
                       NIIF_RESPECT_QUIET_TIME;
    shell.notifyIcon(NIM_MODIFY, &data);
}

// --- the window -----------------------------------------------------------------------------

void ShowChart()
{
    if (!app.sized) {
        // The first time: wide enough for ten minutes, a panel per sensor, within the work area.
        RECT work;
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        size_t panels = app.history.sensors.empty() ? 1 : app.history.sensors.size();
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

void ShowMenu(POINT at)
{
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return;
    AppendMenuW(menu, MF_STRING, MONITOR_OPEN, L"&Open");
    AppendMenuW(menu, MF_STRING | (app.notifications ? MF_CHECKED : 0), MONITOR_NOTIFICATIONS, L"&Notifications");
    AppendMenuW(menu, MF_STRING | (StartsWithWindows() ? MF_CHECKED : 0), MONITOR_START_WITH_WINDOWS,
                L"&Start with Windows");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, MONITOR_EXIT, L"E&xit");
    SetMenuDefaultItem(menu, MONITOR_OPEN, FALSE);
    // The menu closes when the user clicks elsewhere only if its owner is in the foreground.
    SetForegroundWindow(app.window);
    UINT align = GetSystemMetrics(SM_MENUDROPALIGNMENT) ? TPM_RIGHTALIGN : TPM_LEFTALIGN;
    TrackPopupMenuEx(menu, align | TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, at.x, at.y, app.window, nullptr);
    PostMessageW(app.window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

void Exit()
{
    RemoveIcon();
    ShowWindow(app.window, SW_HIDE);
    StopReader(&app.reader, kStopWaitMs);
    DestroyWindow(app.window);
}

void OnCommand(UINT command)
{
    switch (command) {
    case MONITOR_OPEN: ShowChart(); break;
    case MONITOR_NOTIFICATIONS:
        app.notifications = !app.notifications;
        WriteSetting(kNotificationsValue, app.notifications ? 1 : 0);
        break;
    case MONITOR_START_WITH_WINDOWS:
        if (!SetStartWithWindows(!StartsWithWindows()))
            MessageBoxW(app.window, L"The Run key of the current user could not be changed.", kTitle,
                        MB_OK | MB_ICONWARNING);
        break;
    case MONITOR_EXIT: Exit(); break;
    }
}

// A click, a key or a balloon click on the icon: with version 4 the event is in lParam's low
// word and the anchor in wParam; older shells send the mouse message itself.
void OnIcon(WPARAM wParam, LPARAM lParam)
{
    UINT event = app.version4 ? LOWORD(lParam) : (UINT)lParam;
    POINT at;
    switch (event) {
    case NIN_SELECT:
    case NIN_KEYSELECT:
    case NIN_BALLOONUSERCLICK: ShowChart(); break;
    case WM_LBUTTONUP:
        if (!app.version4)
            ShowChart();
        break;
    case WM_CONTEXTMENU:
        at = {(short)LOWORD(wParam), (short)HIWORD(wParam)};
        ShowMenu(at);
        break;
    case WM_RBUTTONUP:
        if (!app.version4) {
            GetCursorPos(&at);
            ShowMenu(at);
        }
        break;
    }
}

void OnReading(Reading *received)
{
    std::unique_ptr<Reading> reading(received);
    Notice notice;
    if (NoticeFor(app.latest.get(), *reading, &notice) && app.notifications)
        ShowNotice(notice);
    Record(&app.history, *reading);
    app.latest = std::move(reading);
    app.stale = false;
    SetTimer(app.window, kStaleTimer, 5 * app.intervalMs + 5000, nullptr);
    UpdateIcon();
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
        RedrawFace(); // a new shell may show icons at another size
        RestoreIcon();
        return 0;
    }
    switch (message) {
    case WM_MONITOR_READING: OnReading(reinterpret_cast<Reading *>(lParam)); return 0;
    case WM_MONITOR_ICON: OnIcon(wParam, lParam); return 0;
    case WM_MONITOR_SHOW: ShowChart(); return 0;
    case WM_COMMAND: OnCommand(LOWORD(wParam)); return 0;
    case WM_TIMER:
        if (wParam == kStaleTimer) {
            KillTimer(window, kStaleTimer);
            app.stale = true;
            UpdateIcon();
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
        UpdateIcon();
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    }
    case WM_SETTINGCHANGE:
    case WM_SYSCOLORCHANGE:
    case WM_DISPLAYCHANGE:
        app.highContrast = HighContrast();
        MakeFonts();
        UpdateIcon();
        InvalidateRect(window, nullptr, FALSE);
        break;
    case WM_POWERBROADCAST:
        if (wParam == PBT_APMRESUMEAUTOMATIC) {
            RestoreIcon();
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

enum class Parse { Run, Help, Error };

// Reads the command line; with Error, `message` says what is wrong in one line.
Parse ParseCommandLine(double *intervalSeconds, std::wstring *message)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Parse result = Parse::Run;
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
    case Parse::Run: break;
    }

    // One monitor per session: a second start shows the first one's window and ends.
    HANDLE instanceMutex = CreateMutexW(nullptr, FALSE, kInstanceMutex);
    if (!instanceMutex) {
        Say(L"kovaltherm-monitor: cannot tell whether a monitor already runs in this session\n", true);
        return 1;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        HWND running = FindWindowW(KOVALTHERM_MONITOR_CLASS, nullptr);
        DWORD process = 0;
        if (running && GetWindowThreadProcessId(running, &process)) {
            AllowSetForegroundWindow(process);
            PostMessageW(running, WM_MONITOR_SHOW, 0, 0);
        }
        return 0;
    }

#ifdef KOVALTHERM_MONITOR_TEST
    StartShellLog();
#endif
    Find(L"user32.dll", "GetDpiForWindow", &app.dpiFunctions.getDpiForWindow);
    Find(L"user32.dll", "GetSystemMetricsForDpi", &app.dpiFunctions.getSystemMetricsForDpi);
    Find(L"user32.dll", "SystemParametersInfoForDpi", &app.dpiFunctions.systemParametersInfoForDpi);
    app.intervalMs = (DWORD)(intervalSeconds * 1000 + 0.5);
    app.history = MakeHistory(kHistorySpanMs, app.intervalMs);
    app.notifications = ReadSetting(kNotificationsValue, 1) != 0;
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
    app.dpi = WindowDpi(app.window);
    app.highContrast = HighContrast();
    MakeFonts();
    UpdateIcon();
    if (!StartReader(&app.reader, app.window, app.intervalMs)) {
        RemoveIcon();
        Say(L"kovaltherm-monitor: cannot start the thread that reads the sensors\n", true);
        return 1;
    }

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

} // namespace

} // namespace monitor

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return monitor::Run(instance); }
