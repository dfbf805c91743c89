// Replacing a file on Windows within its folder's open handle: the service's textfile, a file
// ktsensors.exe is told to write, and the machine's sensor configuration that the monitor saves.
#ifndef KTSENSORS_REPLACE_IN_FOLDER_WINDOWS_H
#define KTSENSORS_REPLACE_IN_FOLDER_WINDOWS_H

#include <windows.h>

#include <string>

namespace ktsensors {

// Replaces the file `name` in the open `folder` with `text`: a new temporary file with an
// unpredictable name created there (only if nothing has its name, never through a link),
// written and flushed, then renamed over `name` relative to the same handle, so that no path is
// looked up again. False with the system's error in *error.
bool ReplaceInFolder(HANDLE folder, const std::string &name, const std::string &text, std::string *error);

} // namespace ktsensors

#endif
