// Whether a folder is one only administrators can change: the Windows service writes its
// file, and runs ktsensors.exe and Kovaltherm.dll as LocalSystem, only from such folders.
#ifndef KTSENSORS_FOLDER_CHECK_WINDOWS_H
#define KTSENSORS_FOLDER_CHECK_WINDOWS_H

#include <string>

namespace ktsensors {

// Why accounts other than the administrators could change `folder` (put a file of their own
// where a privileged writer writes, or change who may), or "" when only they can. A folder
// that cannot be inspected counts as changeable; one that does not exist says so ("does not
// exist").
std::string FolderProblem(const std::string &folder);

// The folder part of a path ("C:\a\b.prom" -> "C:\a"; "." for a bare name).
std::string FolderOf(const std::string &path);

} // namespace ktsensors

#endif
