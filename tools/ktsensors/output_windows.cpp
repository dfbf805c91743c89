// ktsensors' output on Windows: a file named by --output or --plot, or the service's, is
// replaced atomically; the console never gets the degree sign.
#include <windows.h>

#include "backend.h"
#include "error_text_windows.h"

namespace ktsensors {

namespace {

// The output: a file written beside its target, then moved over it.
class WindowsOutput : public Output {
public:
    void GuardStandardStreams() override {}

    bool DegreeSign() const override { return false; }

    bool SaveAtomically(const std::string &path, const std::string &text, std::string *error) override
    {
        // The temporary file sits beside the target, so that the rename stays on one volume.
        std::string temporary = path + ".tmp" + std::to_string(GetCurrentProcessId());
        HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            *error = "cannot write " + path + " (" + ErrorText(GetLastError()) + ")";
            return false;
        }
        DWORD written = 0;
        BOOL ok = WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr) &&
                  written == text.size() && FlushFileBuffers(file);
        DWORD code = GetLastError();
        CloseHandle(file);
        if (ok && MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        code = ok ? GetLastError() : code;
        DeleteFileA(temporary.c_str());
        *error = "cannot write " + path + " (" + ErrorText(code) + ")";
        return false;
    }
};

} // namespace

std::unique_ptr<Output> MakeOutput(const Registry &) { return std::make_unique<WindowsOutput>(); }

} // namespace ktsensors
