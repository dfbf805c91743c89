// Whether a folder is one only administrators can change, it and every folder above it: the
// Windows service writes its file, runs ktsensors.exe and Kovaltherm.dll as LocalSystem, and
// reads its sensor configuration, only from such folders. The rules are folder_rules.h's; this
// is the walk on the real disk.
#ifndef KTSENSORS_FOLDER_CHECK_WINDOWS_H
#define KTSENSORS_FOLDER_CHECK_WINDOWS_H

#include <windows.h>

#include <string>

namespace ktsensors {

// Opens `folder` (a full path on a drive) from the drive's root, one folder inside the last and
// never through a link, checking each. Returns its handle, for opening and renaming files in
// it without another lookup, or null with why in *problem ("... does not exist" for a missing
// folder).
// With `missing`, a folder that does not exist yet is named there instead (OpenTrustedFolder).
HANDLE OpenCheckedFolder(const std::string &folder, std::string *problem, std::string *missing = nullptr);

// Opens the file at `path` (a full path on a drive) to be read: its folder as OpenCheckedFolder
// opens it, then the file inside that handle, never through a link, judged as the folder is
// (nobody else may change it). Returns its handle, or null: with *missing when the file or a
// folder on the way does not exist, else with why in *problem.
HANDLE OpenCheckedFile(const std::string &path, std::string *problem, bool *missing);

// Why accounts other than the administrators could change `folder` or a folder above it, or ""
// when only they can.
std::string FolderProblem(const std::string &folder);

// A SID's account name ("BUILTIN\Users"), or its string form when it has none.
std::string AccountName(PSID sid);

// Where an open handle leads, as the system names it ("\\?\C:\a"); "" when it cannot say.
std::wstring FinalPath(HANDLE handle);

// Whether two paths name the same file, in Windows' case-insensitive manner.
bool SamePath(const std::wstring &a, const std::wstring &b);

} // namespace ktsensors

#endif
