// ktsensors' output on Windows: a file named by --output or --plot, or the service's, is
// replaced atomically within its folder's open handle; the console never gets the degree sign.
#include <windows.h>

#include "backend.h"
#include "error_text_windows.h"
#include "folder_rules.h"
#include "replace_in_folder_windows.h"
#include "wide_windows.h"

namespace ktsensors {

namespace {

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

std::unique_ptr<Output> MakeOutput(const Registry &) { return std::make_unique<WindowsOutput>(); }

} // namespace ktsensors
