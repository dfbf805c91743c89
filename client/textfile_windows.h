// The service's textfile on the disk, as the service, ktsensors.exe --install-service and the
// MSI's custom actions all see it: a path made full with long names and checked by the service's
// rules (its name, every folder from the drive's root by handle, what is at its name), and the
// deletion of a textfile of ours inside its folder's checked handle, never by path.
#ifndef KOVALTHERM_CLIENT_TEXTFILE_WINDOWS_H
#define KOVALTHERM_CLIENT_TEXTFILE_WINDOWS_H

#include <windows.h>

#include <string>

namespace ktsensors {

// How long a deletion tries again while another program (the textfile collector) holds the file.
const DWORD kTextfileDeleteRetryMs = 5000;

// Opens `name` inside the open `folder` with NtCreateFile, relative to the folder's handle and
// never through a link (a link is opened itself), synchronously; `disposition` and `options` as
// NtCreateFile takes them (FILE_CREATE creates it only if nothing has the name). An NTSTATUS.
LONG OpenInFolder(HANDLE folder, const std::wstring &name, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, HANDLE *file);

// The full path of `path` with long names where they exist, as the folder walk compares them;
// `path` itself when it cannot be made one. A file or folders that do not exist yet keep their
// names.
std::wstring FullLongPath(const std::wstring &path);

// What the check of a textfile's path found.
struct TextfileCheck {
    enum Problem { None, Path, Existing, Folder } problem = None;
    std::wstring path;         // the path made full, with long names
    std::string rule;          // with a problem, the rule it breaks (Path: "must ...", Existing:
                               // "is a folder: ...", Folder: the folder check's finding)
    std::string missingFolder; // without one, the first folder on the way that does not exist yet
};

// Checks `given` as the service will write it: a name that is no device's, made full with long
// names, the path's rules, every folder from the drive's root opened inside the last and judged,
// and what is at the file's name in the last one (nothing, or a textfile of ours). A folder that
// does not exist yet passes when the last one that does lets nobody else add a folder, and no
// name from the missing one down could be a short (8.3) name (which could later lead elsewhere).
TextfileCheck CheckTextfile(const std::wstring &given);

// What DeleteOurTextfile did.
enum class Removal {
    Deleted,
    Absent, // nothing at the path, or its folder does not exist
    Left,   // something else is there, or its folder fails the folder check: left alone
    Failed, // a textfile of ours that could not be deleted
};

// Deletes the textfile at `path` (full, as checked) if it is one of ours: its folder opened from
// the drive's root and checked as the service's writes are, the file opened inside that handle
// (never through a link, no writer admitted), its first bytes read and the file deleted on that
// same handle. A file another program holds is tried again, inside the same folder handle, for
// up to kTextfileDeleteRetryMs. With Left and Failed, *why says why.
Removal DeleteOurTextfile(const std::wstring &path, std::string *why);

} // namespace ktsensors

#endif
