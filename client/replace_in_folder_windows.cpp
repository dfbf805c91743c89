// A file replaced atomically within its folder's open handle.
#include <windows.h>
#include <ntsecapi.h>
#include <winternl.h>

#include <string.h>

#include <vector>

#include "error_text_windows.h"
#include "replace_in_folder_windows.h"
#include "textfile_windows.h"
#include "wide_windows.h"

namespace ktsensors {

namespace {

// The temporary file's name: a name the textfile collector skips (it reads only *.prom), with
// 64 random bits, so that nobody can lay anything in its way beforehand.
const wchar_t *const kTemporaryStart = L"~kovaltherm-";
const wchar_t *const kTemporaryEnd = L".tmp";
const size_t kRandomBytes = 8;

// Renames the open file to `name` in `folder`, replacing what has that name (a link is
// replaced, never followed); a Windows error code.
DWORD RenameIn(HANDLE file, HANDLE folder, const std::wstring &name)
{
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFORMATION) + name.size() * sizeof(wchar_t));
    FILE_RENAME_INFORMATION *rename = (FILE_RENAME_INFORMATION *)buffer.data();
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = folder;
    rename->FileNameLength = (ULONG)(name.size() * sizeof(wchar_t));
    memcpy(rename->FileName, name.data(), rename->FileNameLength);
    IO_STATUS_BLOCK io;
    // NtSetInformationFile rather than SetFileInformationByHandle, whose Wine 8 version refuses
    // a name relative to RootDirectory.
    NTSTATUS status = NtSetInformationFile(file, &io, rename, (ULONG)buffer.size(), FileRenameInformation);
    return status < 0 ? RtlNtStatusToDosError(status) : ERROR_SUCCESS;
}

// Marks the open file to be deleted when closed.
void DeleteWhenClosed(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// A name for a temporary file no one can guess; "" when the system gives no random bytes. The
// random bytes come from ADVAPI32 (RtlGenRandom), which every program of ours loads already:
// the monitor's elevated copy imports nothing that a folder beside it could stand in for.
std::wstring TemporaryName()
{
    unsigned char random[kRandomBytes];
    if (!RtlGenRandom(random, sizeof random))
        return L"";
    std::wstring name = kTemporaryStart;
    for (unsigned char byte : random) {
        name += L"0123456789abcdef"[byte >> 4];
        name += L"0123456789abcdef"[byte & 15];
    }
    return name + kTemporaryEnd;
}

} // namespace

bool ReplaceInFolder(HANDLE folder, const std::string &name, const std::string &text, std::string *error)
{
    std::wstring temporary = TemporaryName();
    if (temporary.empty()) {
        *error = "no random bytes for a temporary file's name";
        return false;
    }
    HANDLE file = nullptr;
    NTSTATUS status = OpenInFolder(folder, temporary, GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                                   FILE_NON_DIRECTORY_FILE | FILE_WRITE_THROUGH, &file);
    if (status < 0) {
        *error = ErrorText(RtlNtStatusToDosError(status));
        return false;
    }
    DWORD written = 0, code = ERROR_SUCCESS;
    if (!WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr) || written != text.size() ||
        !FlushFileBuffers(file))
        code = GetLastError();
    if (code == ERROR_SUCCESS)
        code = RenameIn(file, folder, Wide(name));
    if (code != ERROR_SUCCESS) {
        DeleteWhenClosed(file);
        *error = ErrorText(code);
    }
    CloseHandle(file);
    return code == ERROR_SUCCESS;
}

} // namespace ktsensors
