// Windows error codes in words, for ktsensors' messages and events.
#ifndef KTSENSORS_ERROR_TEXT_WINDOWS_H
#define KTSENSORS_ERROR_TEXT_WINDOWS_H

#include <windows.h>

#include <string>

namespace ktsensors {

// "error 5: Access is denied": the code and the system's message for it, without its final
// full stop and line break; the code alone when the system has no message.
std::string ErrorText(DWORD code);

} // namespace ktsensors

#endif
