// The Windows build's edges in UTF-16: the command line, paths handed to the system, and where
// this program and its library are. Inside, the tool works in UTF-8.
#ifndef KTSENSORS_WIDE_WINDOWS_H
#define KTSENSORS_WIDE_WINDOWS_H

#include <windows.h>

#include <string>
#include <vector>

namespace ktsensors {

// UTF-8 to UTF-16 and back; an ill-formed sequence becomes U+FFFD.
std::wstring Wide(const std::string &text);
std::string Utf8(const std::wstring &text);

// The program's arguments as the system holds them (UTF-16), in UTF-8, the program's name first.
std::vector<std::string> Utf8Arguments();

// The full path of this program's folder, ending in a backslash; "" when the system cannot say.
std::wstring ProgramFolder();

// Keeps every library this process loads by name to the system's folder and the program's own:
// never the current folder or PATH. SetDefaultDllDirectories where Windows has it (7 with
// KB2533623, 8 and later); elsewhere at least the current folder leaves the search.
void RestrictLibrarySearch();

// Loads `name` from this program's folder by its full path, never by search; null with the
// system's error, as LoadLibrary leaves it, when it cannot.
HMODULE LoadFromProgramFolder(const wchar_t *name);

} // namespace ktsensors

#endif
