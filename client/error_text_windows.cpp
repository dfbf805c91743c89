// Windows error codes in words, from the system's message table.
#include "error_text_windows.h"

#include "wide_windows.h"

namespace ktsensors {

std::string ErrorText(DWORD code)
{
    wchar_t text[512] = L"";
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                  sizeof text / sizeof *text, nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L'.'))
        text[--length] = L'\0';
    return "error " + std::to_string(code) + (length ? ": " + Utf8(std::wstring(text, length)) : "");
}

} // namespace ktsensors
