// The test build's record of the calls through the shell table: a line per call with the
// milliseconds since the program started, the message, its result and what the
// NOTIFYICONDATAW carried (the icon by the colour of its top-left pixel; text with newlines
// written as \n), tab-separated:
//   1532	MODIFY	ok=1	id=1	icon=#66bb6a	tip=sensor 0 (location 2) 52 °C normal\nsensor 1 ...
// and of each request to start a program: its verb and parameters, and whether it was declined
// as a person at the UAC prompt would (while the file KOVALTHERM_MONITOR_DECLINE names exists):
//   8120	EXECUTE	ok=1	verb=runas	parameters=--save-sensor-settings "[location 2]|label = CPU"
#include "shell.h"

#include <string>

namespace monitor {

namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;
ULONGLONG startMs = 0;
BOOL(WINAPI *realNotifyIcon)(DWORD, PNOTIFYICONDATAW) = nullptr;
BOOL(WINAPI *realExecuteEx)(SHELLEXECUTEINFOW *) = nullptr;
wchar_t declineFile[MAX_PATH] = L"";

std::string Utf8(const wchar_t *text)
{
    std::string out;
    for (const wchar_t *c = text; *c; ++c) {
        if (*c == L'\n') {
            out += "\\n";
            continue;
        }
        char bytes[8];
        int length = WideCharToMultiByte(CP_UTF8, 0, c, 1, bytes, sizeof bytes, nullptr, nullptr);
        out.append(bytes, length > 0 ? length : 0);
    }
    return out;
}

// The icon's top-left pixel as #rrggbb, or "none".
std::string IconColour(HICON icon)
{
    ICONINFO info;
    if (!icon || !GetIconInfo(icon, &info))
        return "none";
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    HDC dc = GetDC(nullptr);
    std::string colour = "none";
    if (GetDIBits(dc, info.hbmColor, 0, 0, nullptr, &format, DIB_RGB_COLORS)) {
        LONG height = format.bmiHeader.biHeight;
        format.bmiHeader.biBitCount = 32;
        format.bmiHeader.biCompression = BI_RGB;
        format.bmiHeader.biHeight = -height; // top row first
        std::string pixels((size_t)format.bmiHeader.biWidth * (height < 0 ? -height : height) * 4, '\0');
        if (GetDIBits(dc, info.hbmColor, 0, height < 0 ? -height : height, &pixels[0], &format, DIB_RGB_COLORS)) {
            char text[16];
            wsprintfA(text, "#%02x%02x%02x", (BYTE)pixels[2], (BYTE)pixels[1], (BYTE)pixels[0]);
            colour = text;
        }
    }
    ReleaseDC(nullptr, dc);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return colour;
}

// Appends a line to the record.
void Write(const std::string &line)
{
    DWORD written;
    WriteFile(logFile, line.data(), (DWORD)line.size(), &written, nullptr);
}

std::string Elapsed() { return std::to_string(GetTickCount64() - startMs); }

BOOL WINAPI LoggedExecuteEx(SHELLEXECUTEINFOW *info)
{
    bool decline = declineFile[0] && GetFileAttributesW(declineFile) != INVALID_FILE_ATTRIBUTES;
    BOOL ok = FALSE;
    if (decline)
        SetLastError(ERROR_CANCELLED);
    else
        ok = realExecuteEx(info);
    DWORD error = GetLastError();
    Write(Elapsed() + "\tEXECUTE\tok=" + (ok ? "1" : "0") + "\tverb=" + Utf8(info->lpVerb ? info->lpVerb : L"") +
          "\tparameters=" + Utf8(info->lpParameters ? info->lpParameters : L"") + "\n");
    SetLastError(error);
    return ok;
}

BOOL WINAPI LoggedNotifyIcon(DWORD message, PNOTIFYICONDATAW data)
{
    BOOL ok = realNotifyIcon(message, data);
    static const char *const names[] = {"ADD", "MODIFY", "DELETE", "SETFOCUS", "SETVERSION"};
    char head[96];
    wsprintfA(head, "%lu\t%s\tok=%d\tid=%u", (unsigned long)(GetTickCount64() - startMs),
              message < 5 ? names[message] : "OTHER", ok ? 1 : 0, data->uID);
    std::string line = head;
    UINT flags = message == NIM_SETVERSION || message == NIM_DELETE ? 0 : data->uFlags;
    if (message == NIM_SETVERSION)
        line += "\tversion=" + std::to_string(data->uVersion);
    if (flags & NIF_ICON)
        line += "\ticon=" + IconColour(data->hIcon);
    if (flags & NIF_TIP)
        line += "\ttip=" + Utf8(data->szTip);
    if (flags & NIF_INFO)
        line += "\tinfo-flags=" + std::to_string(data->dwInfoFlags & NIIF_ICON_MASK) +
                "\tinfo-title=" + Utf8(data->szInfoTitle) + "\tinfo=" + Utf8(data->szInfo);
    Write(line + "\n");
    return ok;
}

} // namespace

void StartShellLog()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"KOVALTHERM_MONITOR_SHELL_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    logFile = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    startMs = GetTickCount64();
    realNotifyIcon = shell.notifyIcon;
    shell.notifyIcon = LoggedNotifyIcon;
    DWORD declineLength = GetEnvironmentVariableW(L"KOVALTHERM_MONITOR_DECLINE", declineFile, MAX_PATH);
    if (declineLength >= MAX_PATH)
        declineFile[0] = L'\0';
    realExecuteEx = shell.executeEx;
    shell.executeEx = LoggedExecuteEx;
}

} // namespace monitor
