// The notification-area icon, through the program's one table of shell functions.
#include "notify_icon.h"

#include <shellapi.h>
#include <wchar.h>

#include "drawing.h"
#include "shell.h"
#include "window.h"

namespace monitor {

ShellCalls shell = {Shell_NotifyIconW, ShellExecuteExW};

namespace {

const UINT kIconId = 1;
const UINT kAllFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;

NOTIFYICONDATAW IconData(const NotifyIcon &icon, UINT flags)
{
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = icon.window;
    data.uID = kIconId;
    data.uFlags = flags;
    data.uCallbackMessage = WM_MONITOR_ICON;
    data.hIcon = icon.icon;
    wcsncpy(data.szTip, icon.tip.c_str(), ARRAYSIZE(data.szTip) - 1);
    return data;
}

void AddIcon(NotifyIcon *icon)
{
    NOTIFYICONDATAW data = IconData(*icon, kAllFlags);
    icon->added = shell.notifyIcon(NIM_ADD, &data);
    if (!icon->added)
        return;
    data.uVersion = NOTIFYICON_VERSION_4;
    icon->version4 = shell.notifyIcon(NIM_SETVERSION, &data);
}

} // namespace

void RestoreIcon(NotifyIcon *icon)
{
    NOTIFYICONDATAW data = IconData(*icon, kAllFlags);
    if (!shell.notifyIcon(NIM_MODIFY, &data))
        AddIcon(icon);
    else
        icon->added = true;
}

void RemoveIcon(NotifyIcon *icon)
{
    if (!icon->added)
        return;
    NOTIFYICONDATAW data = IconData(*icon, 0);
    shell.notifyIcon(NIM_DELETE, &data);
    icon->added = false;
}

UINT RedrawFace(NotifyIcon *icon, const Reading *current, int size)
{
    IconFace face = FaceFor(current);
    std::wstring tip = TooltipFor(current);
    UINT flags = 0;
    if (!icon->icon || size != icon->size || face.text != icon->face.text || face.background != icon->face.background ||
        face.foreground != icon->face.foreground) {
        HICON drawn = MakeIcon(face, size);
        if (drawn) {
            SendMessageW(icon->window, WM_SETICON, ICON_SMALL, (LPARAM)drawn);
            if (icon->icon)
                DestroyIcon(icon->icon);
            icon->icon = drawn;
            icon->face = face;
            icon->size = size;
            flags |= NIF_ICON;
        }
    }
    if (tip != icon->tip) {
        icon->tip = tip;
        flags |= NIF_TIP | NIF_SHOWTIP;
    }
    return flags;
}

void UpdateIcon(NotifyIcon *icon, const Reading *current, int size)
{
    UINT flags = RedrawFace(icon, current, size);
    if (!icon->added) {
        AddIcon(icon);
        return;
    }
    if (!flags)
        return;
    NOTIFYICONDATAW data = IconData(*icon, flags);
    if (!shell.notifyIcon(NIM_MODIFY, &data))
        RestoreIcon(icon);
}

void ShowNotice(NotifyIcon *icon, const Notice &notice)
{
    if (!icon->added)
        return;
    NOTIFYICONDATAW data = IconData(*icon, NIF_INFO);
    wcsncpy(data.szInfoTitle, notice.title.c_str(), ARRAYSIZE(data.szInfoTitle) - 1);
    wcsncpy(data.szInfo, notice.text.c_str(), ARRAYSIZE(data.szInfo) - 1);
    data.dwInfoFlags = (notice.kind == NoticeKind::Error     ? NIIF_ERROR
                        : notice.kind == NoticeKind::Warning ? NIIF_WARNING
                                                             : NIIF_INFO) |
                       NIIF_RESPECT_QUIET_TIME;
    shell.notifyIcon(NIM_MODIFY, &data);
}

// A click, a key or a balloon click on the icon: with version 4 the event is in lParam's low
// word and the anchor in wParam; older shells send the mouse message itself.
IconRequest ReadIconMessage(const NotifyIcon &icon, WPARAM wParam, LPARAM lParam, POINT *at)
{
    UINT event = icon.version4 ? LOWORD(lParam) : (UINT)lParam;
    switch (event) {
    case NIN_SELECT:
    case NIN_KEYSELECT:
    case NIN_BALLOONUSERCLICK: return IconRequest::Open;
    case WM_LBUTTONUP: return icon.version4 ? IconRequest::None : IconRequest::Open;
    case WM_CONTEXTMENU:
        *at = {(short)LOWORD(wParam), (short)HIWORD(wParam)};
        return IconRequest::Menu;
    case WM_RBUTTONUP:
        if (icon.version4)
            return IconRequest::None;
        GetCursorPos(at);
        return IconRequest::Menu;
    }
    return IconRequest::None;
}

void ShowIconMenu(HWND window, POINT at, bool notifications, bool startsWithWindows, const std::wstring &limitsLine)
{
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return;
    AppendMenuW(menu, MF_STRING, MONITOR_OPEN, L"&Open");
    AppendMenuW(menu, MF_STRING, MONITOR_SETTINGS, L"Sensor se&ttings\u2026");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | MF_GRAYED, MONITOR_ICON_LIMITS, limitsLine.c_str());
    AppendMenuW(menu, MF_STRING | (notifications ? MF_CHECKED : 0), MONITOR_NOTIFICATIONS, L"&Notifications");
    AppendMenuW(menu, MF_STRING | (startsWithWindows ? MF_CHECKED : 0), MONITOR_START_WITH_WINDOWS,
                L"&Start with Windows");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, MONITOR_EXIT, L"E&xit");
    SetMenuDefaultItem(menu, MONITOR_OPEN, FALSE);
    // The menu closes when the user clicks elsewhere only if its owner is in the foreground.
    SetForegroundWindow(window);
    UINT align = GetSystemMetrics(SM_MENUDROPALIGNMENT) ? TPM_RIGHTALIGN : TPM_LEFTALIGN;
    TrackPopupMenuEx(menu, align | TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, at.x, at.y, window, nullptr);
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

} // namespace monitor
