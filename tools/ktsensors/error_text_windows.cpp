// Windows error codes in words, from the system's message table.
#include "error_text_windows.h"

namespace ktsensors {

std::string ErrorText(DWORD code)
{
    char text[512] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                  sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.'))
        text[--length] = '\0';
    return "error " + std::to_string(code) + (length ? ": " + std::string(text) : "");
}

} // namespace ktsensors
