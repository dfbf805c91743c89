// The machine's sensor configuration written by the monitor's elevated copy.
#include "save_settings.h"

#include <shellapi.h>

#include "error_text_windows.h"
#include "folder_check_windows.h"
#include "folder_rules.h"
#include "owner_settings.h"
#include "replace_in_folder_windows.h"
#include "shell.h"
#include "wide_windows.h"

namespace monitor {

namespace {

// The writer's exit statuses.
const int kSaved = 0, kNotSaved = 1, kNotAChange = 2;

} // namespace

std::string PrepareSave(const ktsensors::SensorConfig &change, std::string *text)
{
    std::string path = ktsensors::DefaultSensorConfigPath(), folder = ktsensors::FolderOf(path);
    std::string problem = ktsensors::FolderProblem(folder);
    size_t missing = sizeof ktsensors::kFolderMissing - 1;
    if (problem.size() > missing && problem.compare(problem.size() - missing, missing, ktsensors::kFolderMissing) == 0)
        return problem + ": the installer makes it, or an administrator as the operators' guide says";
    if (!problem.empty())
        return problem + " (the machine's sensor settings are kept only where only administrators can change them)";
    std::string current, error;
    ktsensors::SensorConfig file, policy, result;
    ktsensors::FileRead read = ktsensors::ReadSensorConfigFile(path, true, &current, &error);
    if (read == ktsensors::FileRead::Failed)
        return error;
    if (read == ktsensors::FileRead::Ok && !ktsensors::ParseSensorConfig(current, path, &file, &error))
        return path + " " + error + ": correct the file first, as saving would replace it";
    std::vector<ktsensors::PolicyKey> keys;
    if (!ktsensors::ReadSensorPolicy(&keys, &error) || !ktsensors::ParseSensorPolicy(keys, &policy, &error))
        return error;
    if (!ApplySensorChange(file, policy, change, &result, &error))
        return error;
    *text = ktsensors::FormatSensorConfig(result);
    return "";
}

int WriteSensorSettings(const std::wstring &argument)
{
    ktsensors::SensorConfig change;
    std::string text, error, path = ktsensors::DefaultSensorConfigPath();
    if (!ParseChangeArgument(ktsensors::Utf8(argument), &change, &error))
        return kNotAChange;
    if (!PrepareSave(change, &text).empty())
        return kNotSaved;
    // The folder is checked again as it is opened, and the file replaced inside that handle.
    HANDLE folder = ktsensors::OpenCheckedFolder(ktsensors::FolderOf(path), &error);
    if (!folder)
        return kNotSaved;
    bool saved = ktsensors::ReplaceInFolder(folder, ktsensors::NameOf(path), text, &error);
    CloseHandle(folder);
    return saved ? kSaved : kNotSaved;
}

SaveOutcome SaveElevated(HWND owner, const ktsensors::SensorConfig &change, std::wstring *detail)
{
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        *detail = L"this program's path is unknown";
        return SaveOutcome::NotSaved;
    }
    // A change holds no quote or backslash (no label may), so it is one argument in quotes.
    std::wstring parameters = std::wstring(kSaveArgument) + L" \"" + ktsensors::Wide(ChangeArgument(change)) + L"\"";
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.hwnd = owner;
    info.lpVerb = L"runas";
    info.lpFile = program;
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    if (!shell.executeEx(&info)) {
        DWORD code = GetLastError();
        *detail = ktsensors::Wide(ktsensors::ErrorText(code));
        return code == ERROR_CANCELLED ? SaveOutcome::Declined : SaveOutcome::NotSaved;
    }
    if (!info.hProcess) {
        *detail = L"the writer was not started";
        return SaveOutcome::NotSaved;
    }
    DWORD waited = WaitForSingleObject(info.hProcess, kSaveWaitMs), status = kNotSaved;
    GetExitCodeProcess(info.hProcess, &status);
    CloseHandle(info.hProcess);
    if (waited != WAIT_OBJECT_0)
        return SaveOutcome::NoAnswer;
    *detail = L"the writer ended with status " + std::to_wstring(status);
    return status == (DWORD)kSaved ? SaveOutcome::Saved : SaveOutcome::NotSaved;
}

} // namespace monitor
