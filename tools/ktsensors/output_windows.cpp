// ktsensors' output on Windows: a file named by --output or --plot, or the service's, is
// replaced atomically within its folder's open handle; the console never gets the degree sign.
#include <windows.h>
#include <bcrypt.h>
#include <winternl.h>

#include <vector>

#include "backend.h"
#include "error_text_windows.h"
#include "folder_rules.h"
#include "output_windows.h"
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

// A name for a temporary file no one can guess; "" when the system gives no random bytes.
std::wstring TemporaryName()
{
    unsigned char random[kRandomBytes];
    if (BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0)
        return L"";
    std::wstring name = kTemporaryStart;
    for (unsigned char byte : random) {
        name += L"0123456789abcdef"[byte >> 4];
        name += L"0123456789abcdef"[byte & 15];
    }
    return name + kTemporaryEnd;
}

// The output: a file written beside its target, then moved over it.
class WindowsOutput : public Output {
public:
    void GuardStandardStreams() override {}

    bool DegreeSign() const override { return false; }

    bool SaveAtomically(const std::string &path, const std::string &text, std::string *error) override
    {
        // A file the user names is the user's to place: its folder is opened as named.
        std::wstring wide = Wide(path);
        wchar_t full[MAX_PATH * 4];
        DWORD length = GetFullPathNameW(wide.c_str(), sizeof full / sizeof *full, full, nullptr);
        std::string fullPath = length > 0 && length < sizeof full / sizeof *full ? Utf8(full) : path;
        HANDLE folder = CreateFileW(Wide(FolderOf(fullPath)).c_str(), FILE_TRAVERSE | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (folder == INVALID_HANDLE_VALUE) {
            *error = "cannot write " + path + " (" + ErrorText(GetLastError()) + ")";
            return false;
        }
        bool ok = ReplaceInFolder(folder, NameOf(fullPath), text, error);
        CloseHandle(folder);
        if (!ok)
            *error = "cannot write " + path + " (" + *error + ")";
        return ok;
    }
};

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

std::unique_ptr<Output> MakeOutput(const Registry &) { return std::make_unique<WindowsOutput>(); }

} // namespace ktsensors
