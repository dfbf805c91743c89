// Kovaltherm.dll as every program of ours loads it: from the program's own folder by its full
// path, never from the current folder or PATH, where anyone could have put one (the service
// runs as LocalSystem), with the table of its seven exports. Each program words the failure
// in its own messages.
#ifndef KTSENSORS_LIBRARY_WINDOWS_H
#define KTSENSORS_LIBRARY_WINDOWS_H

#include <windows.h>

#include "exports.h"

namespace ktsensors {

// The library's file name, in the program's folder.
extern const wchar_t kLibraryFileName[];
// Windows' ERROR_DLL_INIT_FAILED: the library's entry point refused to load (it found no
// qorix thermal driver).
const DWORD kLibraryInitFailed = 1114;

// The library once loaded, or why it is not.
struct LoadedLibrary {
    HMODULE module = nullptr;
    Exports exports;
    DWORD error = 0;                     // the system's error when the file did not load
    const char *missingExport = nullptr; // the first export the file lacks (then unloaded)
};

// Loads the library beside this program and looks up its exports; true when it loaded with
// all seven, false with `error` or `missingExport` set.
bool LoadKovaltherm(LoadedLibrary *library);

// Unloads a loaded library; nothing when none is.
void UnloadKovaltherm(LoadedLibrary *library);

} // namespace ktsensors

#endif
