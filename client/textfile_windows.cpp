// The textfile's checks and its deletion by handle (textfile_windows.h).
#include "textfile_windows.h"

#include <winternl.h>

#include "error_text_windows.h"
#include "folder_check_windows.h"
#include "folder_rules.h"
#include "service_rules.h"
#include "wide_windows.h"

namespace ktsensors {

namespace {

const DWORD kRetryPollMs = 100;

// Opens `name` inside `folder` to look at it and perhaps delete it; a Windows error code.
DWORD OpenToLook(HANDLE folder, const std::wstring &name, ACCESS_MASK access, ULONG share, HANDLE *file)
{
    LONG status = OpenInFolder(folder, name, access | FILE_READ_ATTRIBUTES, share, FILE_OPEN, 0, file);
    return status < 0 ? RtlNtStatusToDosError(status) : ERROR_SUCCESS;
}

// What the open `file`, found as `name` in `folder`, is: a folder, a link (or a link Wine
// followed: it leads elsewhere), a device, one of our textfiles by its first bytes, or another file.
KtExisting Look(HANDLE folder, const std::wstring &name, HANDLE file)
{
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag))
        return KT_EXISTING_UNREADABLE;
    if (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return KT_EXISTING_FOLDER;
    std::wstring above = FinalPath(folder);
    std::wstring expected = above + (!above.empty() && above.back() == L'\\' ? L"" : L"\\") + name;
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || GetFileType(file) != FILE_TYPE_DISK ||
        !SamePath(FinalPath(file), expected))
        return KT_EXISTING_OTHER;
    char start[sizeof KT_TEXTFILE_START];
    DWORD got = 0;
    if (!ReadFile(file, start, sizeof start, &got, nullptr))
        return KT_EXISTING_UNREADABLE;
    return KtIsOurTextfile(start, got) ? KT_EXISTING_OURS : KT_EXISTING_OTHER;
}

// Whether `name` has the form of a short (8.3) name: a tilde followed by digits, in a base of at
// most eight characters and an ending of at most three.
bool ShortNameForm(const std::string &name)
{
    size_t dot = name.find('.'), base = dot == std::string::npos ? name.size() : dot;
    size_t tilde = name.rfind('~', base);
    if (tilde == std::string::npos || base > 8 || (dot != std::string::npos && name.size() - dot - 1 > 3) ||
        tilde + 1 >= base)
        return false;
    for (size_t i = tilde + 1; i < base; ++i)
        if (name[i] < '0' || name[i] > '9')
            return false;
    return true;
}

} // namespace

LONG OpenInFolder(HANDLE folder, const std::wstring &name, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, HANDLE *file)
{
    std::wstring copy = name;
    UNICODE_STRING object = {(USHORT)(copy.size() * sizeof(wchar_t)), (USHORT)(copy.size() * sizeof(wchar_t)), &copy[0]};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &object, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io;
    return NtCreateFile(file, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                        options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

std::wstring FullLongPath(const std::wstring &path)
{
    wchar_t full[MAX_PATH * 4], longer[MAX_PATH * 4];
    DWORD length = GetFullPathNameW(path.c_str(), sizeof full / sizeof *full, full, nullptr);
    if (length == 0 || length >= sizeof full / sizeof *full)
        return path;
    std::wstring result(full, length);
    length = GetLongPathNameW(result.c_str(), longer, sizeof longer / sizeof *longer);
    if (length > 0 && length < sizeof longer / sizeof *longer)
        return std::wstring(longer, length);
    std::string folder = FolderOf(Utf8(result));
    length = GetLongPathNameW(Wide(folder).c_str(), longer, sizeof longer / sizeof *longer);
    if (length == 0 || length >= sizeof longer / sizeof *longer)
        return result;
    std::wstring longFolder(longer, length);
    return longFolder + (longFolder.back() == L'\\' ? L"" : L"\\") + Wide(NameOf(Utf8(result)));
}

TextfileCheck CheckTextfile(const std::wstring &given)
{
    TextfileCheck check;
    check.path = given;
    // A device's name is looked at first: made full, COM1.prom is \\.\COM1.
    KtPathProblem rule = KtNamesDevice(given.c_str()) ? KT_PATH_DEVICE : KT_PATH_OK;
    if (rule == KT_PATH_OK) {
        check.path = FullLongPath(given);
        rule = KtTextfilePathProblem(check.path.c_str());
    }
    if (rule != KT_PATH_OK) {
        check.problem = TextfileCheck::Path;
        check.rule = Utf8(KtPathRule(rule));
        return check;
    }
    std::string path = Utf8(check.path), folderProblem, missing;
    HANDLE folder = OpenCheckedFolder(FolderOf(path), &folderProblem, &missing);
    if (!folder) {
        check.problem = folderProblem.empty() ? TextfileCheck::None : TextfileCheck::Folder;
        check.rule = folderProblem;
        // Below the last folder that exists, a short name names whatever later gets it.
        for (size_t at = missing.empty() ? path.size() : missing.size() - NameOf(missing).size(); at < path.size();) {
            size_t end = path.find('\\', at);
            end = end == std::string::npos ? path.size() : end;
            if (end < path.size() && ShortNameForm(path.substr(at, end - at))) {
                check.problem = TextfileCheck::Folder;
                check.rule = "the folder " + path.substr(0, end) + " does not exist, and its name has the form of a "
                             "short (8.3) name, which could lead to another folder once one is made: give its long name";
                return check;
            }
            at = end + 1;
        }
        check.missingFolder = check.problem == TextfileCheck::None ? missing : "";
        return check;
    }
    std::wstring name = Wide(NameOf(path));
    HANDLE file = nullptr;
    DWORD code = OpenToLook(folder, name, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &file);
    KtExisting existing = code == ERROR_FILE_NOT_FOUND ? KT_EXISTING_NOTHING
                          : code != ERROR_SUCCESS      ? KT_EXISTING_UNREADABLE
                                                       : Look(folder, name, file);
    if (code == ERROR_SUCCESS)
        CloseHandle(file);
    CloseHandle(folder);
    if (const wchar_t *existingRule = KtExistingRule(existing)) {
        check.problem = TextfileCheck::Existing;
        check.rule = Utf8(existingRule);
    }
    return check;
}

Removal DeleteOurTextfile(const std::wstring &path, std::string *why)
{
    KtPathProblem rule = KtTextfilePathProblem(path.c_str());
    if (rule != KT_PATH_OK) {
        *why = "the path " + Utf8(KtPathRule(rule));
        return Removal::Left;
    }
    std::string problem, missing;
    HANDLE folder = OpenCheckedFolder(FolderOf(Utf8(path)), &problem, &missing);
    if (!folder) {
        *why = problem;
        return problem.empty() ? Removal::Absent : Removal::Left;
    }
    std::wstring name = Wide(NameOf(Utf8(path)));
    ULONGLONG deadline = GetTickCount64() + kTextfileDeleteRetryMs;
    HANDLE file = nullptr;
    DWORD code;
    // Readers may share the file meanwhile; nobody may write it between the look and the deletion.
    while ((code = OpenToLook(folder, name, DELETE | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, &file)) ==
               ERROR_SHARING_VIOLATION ||
           code == ERROR_ACCESS_DENIED) {
        if (GetTickCount64() >= deadline)
            break;
        Sleep(kRetryPollMs);
    }
    Removal removal = Removal::Failed;
    if (code == ERROR_FILE_NOT_FOUND) {
        removal = Removal::Absent;
    } else if (code != ERROR_SUCCESS) {
        *why = ErrorText(code);
    } else {
        KtExisting existing = Look(folder, name, file);
        FILE_DISPOSITION_INFO disposition = {TRUE};
        if (existing != KT_EXISTING_OURS) {
            *why = Utf8(KtExistingRule(existing));
            removal = Removal::Left;
        } else if (SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
            removal = Removal::Deleted;
        } else {
            *why = ErrorText(GetLastError());
        }
        CloseHandle(file);
    }
    CloseHandle(folder);
    return removal;
}

} // namespace ktsensors
