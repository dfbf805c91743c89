// The sensor settings window, of the system's own controls.
#include "settings_window.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "drawing.h"
#include "owner_settings.h"
#include "save_settings.h"
#include "wide_windows.h"
#include "window.h"

namespace monitor {

namespace {

const wchar_t kTitle[] = L"Kovaltherm sensor settings";
// Posted by the thread of a save when it is done; it carries nothing (any program could post
// it), the outcome is the thread's.
const UINT WM_SETTINGS_SAVED = WM_APP + 10;
// Columns and spacing at 96 DPI.
const int kMargin = 12, kGap = 8, kNameWidth = 150, kLabelWidth = 170, kDegreesWidth = 70, kEditHeight = 23,
          kButtonWidth = 88, kButtonHeight = 26;
// What the fields take: a label of 32 characters may need two UTF-16 units each; 3 digits.
const int kLabelUnits = 2 * (int)ktsensors::kMaxLabelChars, kDegreesDigits = 3;
const wchar_t kIntro[] =
    L"Names and alert limits for this notebook's sensors, the same for every user and every program of "
    L"Kovaltherm. A warning or critical temperature of yours adds an alert beside the firmware's "
    L"limits; leave it empty for none. Saving asks for administrator rights.";
const wchar_t *const kHeadings[] = {L"Sensor", L"Label", L"Warning \u00b0C", L"Critical \u00b0C"};

struct Row {
    SettingsRow settings;
    HWND name = nullptr, fields[3] = {}, reason = nullptr;
};

// A save under way: its thread asks for the rights, waits for the writer, and sets `done`
// once the outcome is in.
struct Save {
    HWND window = nullptr;
    ktsensors::SensorConfig change;
    SaveOutcome outcome = SaveOutcome::NotSaved;
    std::wstring detail;
    std::atomic<bool> done{false};
};

struct Window {
    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    UINT dpi = 96;
    HFONT font = nullptr;
    HWND intro = nullptr, headings[4] = {}, config = nullptr, status = nullptr, save = nullptr, close = nullptr;
    std::vector<Row> rows;
    bool rebuild = false; // the rows are taken again at the next reading
    Save *pending = nullptr;
    void (*saved)() = nullptr;
};

Window settings;

int Scaled(int value) { return MulDiv(value, (int)settings.dpi, 96); }

HWND Control(const wchar_t *kind, const std::wstring &text, DWORD style, DWORD exStyle, int id)
{
    HWND control = CreateWindowExW(exStyle, kind, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                                   settings.window, (HMENU)(INT_PTR)id, settings.instance, nullptr);
    SendMessageW(control, WM_SETFONT, (WPARAM)settings.font, FALSE);
    return control;
}

std::wstring TextOf(HWND control)
{
    int length = GetWindowTextLengthW(control);
    std::wstring text(length + 1, L'\0');
    text.resize(GetWindowTextW(control, &text[0], length + 1));
    return text;
}

// The height `text` takes in the window's font, wrapped at `width` pixels.
int TextHeight(const std::wstring &text, int width)
{
    if (text.empty())
        return 0;
    HDC dc = GetDC(settings.window);
    HGDIOBJ old = SelectObject(dc, settings.font);
    RECT box = {0, 0, width, 0};
    DrawTextW(dc, text.c_str(), (int)text.size(), &box, DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
    SelectObject(dc, old);
    ReleaseDC(settings.window, dc);
    return box.bottom;
}

// Places every control for the window's DPI and fits the window around them.
void Layout()
{
    int columns[4] = {kNameWidth, kLabelWidth, kDegreesWidth, kDegreesWidth};
    int width = 2 * kMargin + kNameWidth + kLabelWidth + 2 * kDegreesWidth + 3 * kGap;
    int inner = Scaled(width - 2 * kMargin), x0 = Scaled(kMargin), line = TextHeight(L"X", inner);
    int y = Scaled(kMargin);
    int introHeight = TextHeight(kIntro, inner);
    MoveWindow(settings.intro, x0, y, inner, introHeight, FALSE);
    y += introHeight + Scaled(kGap);
    int x = x0;
    for (int i = 0; i < 4; ++i) {
        MoveWindow(settings.headings[i], x, y, Scaled(columns[i]), line, FALSE);
        x += Scaled(columns[i] + kGap);
    }
    y += line + Scaled(4);
    for (Row &row : settings.rows) {
        x = x0;
        MoveWindow(row.name, x, y + (Scaled(kEditHeight) - line) / 2, Scaled(columns[0]), line, FALSE);
        x += Scaled(columns[0] + kGap);
        for (int f = 0; f < 3; ++f) {
            MoveWindow(row.fields[f], x, y, Scaled(columns[f + 1]), Scaled(kEditHeight), FALSE);
            x += Scaled(columns[f + 1] + kGap);
        }
        y += Scaled(kEditHeight + 4);
        if (row.reason) {
            int height = TextHeight(row.settings.reason, inner - Scaled(columns[0] + kGap));
            MoveWindow(row.reason, x0 + Scaled(columns[0] + kGap), y, inner - Scaled(columns[0] + kGap), height, FALSE);
            y += height + Scaled(4);
        }
    }
    y += Scaled(kGap);
    int configHeight = TextHeight(TextOf(settings.config), inner);
    MoveWindow(settings.config, x0, y, inner, configHeight, FALSE);
    y += configHeight + (configHeight ? Scaled(kGap) : 0);
    // The status keeps room for three lines, so that a message does not move the buttons.
    int statusHeight = std::max(TextHeight(TextOf(settings.status), inner), 3 * line);
    MoveWindow(settings.status, x0, y, inner, statusHeight, FALSE);
    y += statusHeight + Scaled(kGap);
    int right = x0 + inner;
    MoveWindow(settings.close, right - Scaled(kButtonWidth), y, Scaled(kButtonWidth), Scaled(kButtonHeight), FALSE);
    MoveWindow(settings.save, right - Scaled(2 * kButtonWidth + kGap), y, Scaled(kButtonWidth), Scaled(kButtonHeight),
               FALSE);
    y += Scaled(kButtonHeight + kMargin);

    RECT frame = {0, 0, Scaled(width), y};
    DWORD style = (DWORD)GetWindowLongPtrW(settings.window, GWL_STYLE);
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    SetWindowPos(settings.window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(settings.window, nullptr, TRUE);
}

void SetStatus(const std::wstring &text)
{
    SetWindowTextW(settings.status, text.c_str());
    Layout();
}

// The rows for the sensors of `latest`, their fields as the configuration has them.
void BuildRows(const Reading *latest)
{
    for (Row &row : settings.rows) {
        DestroyWindow(row.name);
        for (HWND field : row.fields)
            DestroyWindow(field);
        if (row.reason)
            DestroyWindow(row.reason);
    }
    settings.rows.clear();
    for (const SettingsRow &row : latest ? SettingsRows(*latest) : std::vector<SettingsRow>()) {
        Row shown;
        shown.settings = row;
        int id = SETTINGS_ROW_BASE + 10 * row.location;
        shown.name = Control(L"STATIC", row.name, SS_LEFT | SS_NOPREFIX, 0, -1);
        RowFields fields = FieldsOf(row);
        const std::string *texts[3] = {&fields.label, &fields.warning, &fields.critical};
        for (int f = 0; f < 3; ++f) {
            DWORD style = WS_TABSTOP | ES_AUTOHSCROLL | (f ? ES_NUMBER : 0) | (row.fixed ? ES_READONLY : 0);
            shown.fields[f] = Control(L"EDIT", ktsensors::Wide(*texts[f]), style, WS_EX_CLIENTEDGE, id + f);
            SendMessageW(shown.fields[f], EM_LIMITTEXT, f ? kDegreesDigits : kLabelUnits, 0);
        }
        if (row.fixed)
            shown.reason = Control(L"STATIC", row.reason, SS_LEFT | SS_NOPREFIX, 0, id + SETTINGS_REASON);
        settings.rows.push_back(shown);
    }
    bool any = std::any_of(settings.rows.begin(), settings.rows.end(), [](const Row &row) { return !row.settings.fixed; });
    EnableWindow(settings.save, any && !settings.pending);
    if (settings.rows.empty())
        SetWindowTextW(settings.status, L"No sensor to set yet: the monitor has no reading of one.");
    Layout();
}

DWORD WINAPI SaveThread(void *parameter)
{
    Save *save = static_cast<Save *>(parameter);
    HWND window = save->window; // the save is the window's once it is done
    save->outcome = SaveElevated(window, save->change, &save->detail);
    save->done = true;
    PostMessageW(window, WM_SETTINGS_SAVED, 0, 0);
    return 0;
}

// Checks what the person typed and, when it holds a change that can be saved, asks for the
// rights to save it on a thread of its own: the prompt may wait on the person for long.
void OnSave()
{
    if (settings.pending)
        return;
    std::vector<SettingsRow> rows;
    std::vector<RowFields> fields;
    for (const Row &row : settings.rows) {
        rows.push_back(row.settings);
        fields.push_back({ktsensors::Utf8(TextOf(row.fields[0])), ktsensors::Utf8(TextOf(row.fields[1])),
                          ktsensors::Utf8(TextOf(row.fields[2]))});
    }
    ktsensors::SensorConfig change;
    std::string error, text;
    if (!CollectChange(rows, fields, &change, &error))
        return SetStatus(L"Not saved: " + ktsensors::Wide(error));
    if (change.sensors.empty())
        return SetStatus(L"Nothing to save: the fields are as the settings have them.");
    std::string problem = PrepareSave(change, &text);
    if (!problem.empty())
        return SetStatus(L"Not saved: " + ktsensors::Wide(problem));
    Save *save = new Save;
    save->window = settings.window;
    save->change = change;
    HANDLE thread = CreateThread(nullptr, 0, SaveThread, save, 0, nullptr);
    if (!thread) {
        delete save;
        return SetStatus(L"Not saved: no thread could be started to ask for administrator rights.");
    }
    CloseHandle(thread);
    settings.pending = save;
    EnableWindow(settings.save, FALSE);
    SetStatus(L"Waiting for administrator rights to save\u2026");
}

// Says how the save ended, once its thread has.
void OnSaved()
{
    Save *save = settings.pending;
    if (!save || !save->done)
        return;
    settings.pending = nullptr;
    EnableWindow(settings.save, TRUE);
    std::string text, problem;
    switch (save->outcome) {
    case SaveOutcome::Saved:
        settings.rebuild = true;
        SetStatus(L"Saved in " + ktsensors::Wide(ktsensors::DefaultSensorConfigPath()) +
                  L". The monitor, the service and ktsensors take it at their next reading.");
        if (settings.saved)
            settings.saved();
        break;
    case SaveOutcome::Declined:
        SetStatus(L"Not saved: administrator rights were not given, so nothing changed.");
        break;
    case SaveOutcome::NoAnswer:
        SetStatus(L"The writer has not finished after " + std::to_wstring(kSaveWaitMs / 1000) +
                  L" s; the next reading shows whether it saved.");
        break;
    case SaveOutcome::NotSaved:
        // What the writer refused is what the same checks find now; else it could not write.
        problem = PrepareSave(save->change, &text);
        SetStatus(L"Not saved: " + (problem.empty() ? save->detail : ktsensors::Wide(problem)));
        break;
    }
    delete save;
}

// Gives one control the font `font` (an HFONT).
BOOL CALLBACK SetFontOf(HWND control, LPARAM font)
{
    SendMessageW(control, WM_SETFONT, (WPARAM)font, FALSE);
    return TRUE;
}

LRESULT CALLBACK SettingsProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK)
            OnSave();
        else if (LOWORD(wParam) == IDCANCEL)
            ShowWindow(window, SW_HIDE);
        return 0;
    case WM_SETTINGS_SAVED: OnSaved(); return 0;
    case WM_CTLCOLORSTATIC: {
        // The configuration's problem in the critical limit's colour, a policy's reason greyed.
        HWND control = (HWND)lParam;
        LRESULT brush = DefWindowProcW(window, message, wParam, lParam);
        if (control == settings.config)
            SetTextColor((HDC)wParam, RGB((kCriticalLimitColour >> 16) & 0xff, (kCriticalLimitColour >> 8) & 0xff,
                                          kCriticalLimitColour & 0xff));
        else if (GetDlgCtrlID(control) % 10 == SETTINGS_REASON && GetDlgCtrlID(control) >= SETTINGS_ROW_BASE)
            SetTextColor((HDC)wParam, GetSysColor(COLOR_GRAYTEXT));
        return brush;
    }
    case WM_DPICHANGED: {
        settings.dpi = HIWORD(wParam);
        HFONT font = MakeMessageFont(settings.dpi, false);
        EnumChildWindows(window, SetFontOf, (LPARAM)font);
        if (settings.font)
            DeleteObject(settings.font);
        settings.font = font;
        const RECT *suggested = reinterpret_cast<const RECT *>(lParam);
        SetWindowPos(window, nullptr, suggested->left, suggested->top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        Layout();
        return 0;
    }
    case WM_CLOSE: ShowWindow(window, SW_HIDE); return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Makes the window and the controls every row shares; false if it could not.
bool Create(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = SettingsProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = KOVALTHERM_SETTINGS_CLASS;
    if (!RegisterClassExW(&windowClass))
        return false;
    settings.instance = instance;
    settings.window = CreateWindowExW(0, KOVALTHERM_SETTINGS_CLASS, kTitle, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                                      CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, nullptr, nullptr, instance, nullptr);
    if (!settings.window)
        return false;
    settings.font = MakeMessageFont(settings.dpi, false);
    settings.intro = Control(L"STATIC", kIntro, SS_LEFT | SS_NOPREFIX, 0, -1);
    for (int i = 0; i < 4; ++i)
        settings.headings[i] = Control(L"STATIC", kHeadings[i], SS_LEFT | SS_NOPREFIX, 0, -1);
    settings.config = Control(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, 0, SETTINGS_CONFIG);
    settings.status = Control(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, 0, SETTINGS_STATUS);
    settings.save = Control(L"BUTTON", L"&Save", WS_TABSTOP | BS_DEFPUSHBUTTON, 0, IDOK);
    settings.close = Control(L"BUTTON", L"Close", WS_TABSTOP | BS_PUSHBUTTON, 0, IDCANCEL);
    // The shield that says the button asks for administrator rights.
    SendMessageW(settings.save, BCM_SETSHIELD, 0, TRUE);
    return true;
}

} // namespace

void OpenSettings(HINSTANCE instance, const Reading *latest, UINT dpi, void (*saved)())
{
    settings.saved = saved;
    if (!settings.window) {
        settings.dpi = dpi;
        if (!Create(instance))
            return;
    }
    SetWindowTextW(settings.config, ConfigLine(latest).c_str());
    if (!settings.pending)
        SetWindowTextW(settings.status, L"");
    BuildRows(latest);
    if (!IsWindowVisible(settings.window)) {
        // Centred in the work area as it opens.
        RECT work, frame;
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        GetWindowRect(settings.window, &frame);
        SetWindowPos(settings.window, nullptr, work.left + (work.right - work.left - (frame.right - frame.left)) / 2,
                     work.top + (work.bottom - work.top - (frame.bottom - frame.top)) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER);
    }
    ShowWindow(settings.window, SW_SHOW);
    SetForegroundWindow(settings.window);
}

void SettingsReading(const Reading &latest)
{
    if (!settings.window)
        return;
    std::wstring config = ConfigLine(&latest);
    if (config != TextOf(settings.config)) {
        SetWindowTextW(settings.config, config.c_str());
        Layout();
    }
    if (settings.rebuild || (settings.rows.empty() && !latest.sensors.empty())) {
        settings.rebuild = false;
        BuildRows(&latest);
    }
}

bool SettingsDialogMessage(MSG *message)
{
    return settings.window && IsWindowVisible(settings.window) && IsDialogMessageW(settings.window, message);
}

} // namespace monitor
