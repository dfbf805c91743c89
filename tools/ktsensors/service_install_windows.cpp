// Installing the Windows service: --install-service registers it with the service manager
// (LocalSystem, automatic start, restarted after a failure) and its Event Log source;
// --uninstall-service removes both and the file it wrote.
#include <windows.h>

#include <stdio.h>

#include <vector>

#include "error_text_windows.h"
#include "folder_check_windows.h"
#include "service_windows.h"
#include "tool.h"

namespace ktsensors {

const char *const kServiceName = "Kovaltherm";

namespace {

const char *const kDisplayName = "Kovaltherm thermal sensors";
const char *const kDescription =
    "Reads the notebook's thermal sensors through Kovaltherm.dll and writes them as Prometheus text "
    "for windows_exporter's textfile collector.";
const char *const kEventSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Kovaltherm";
// Where windows_exporter's textfile collector reads, under the 64-bit Program Files folder.
const char *const kTextfileFolder = "windows_exporter\\textfile_inputs";
const char *const kTextfileName = "kovaltherm.prom";
// The Event Log types the message table uses: error, warning, information.
const DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
// Restarts after a failure: 10 s, 10 s, then 60 s; the count starts again after a day.
const DWORD kRestartDelaysMs[] = {10000, 10000, 60000};
const DWORD kFailureResetSeconds = 24 * 60 * 60;
// How long --uninstall-service waits for the service to stop.
const DWORD kUninstallStopMs = 30000;

// The full path of `path`, or `path` itself when it cannot be made one.
std::string FullPath(const std::string &path)
{
    char full[MAX_PATH * 2];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return length > 0 && length < sizeof full ? std::string(full, length) : path;
}

// Opens the service manager, or complains (standard users may not change services).
SC_HANDLE OpenManager(DWORD access, std::string *error)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, access);
    if (!manager) {
        DWORD code = GetLastError();
        *error = "cannot open the service manager (" + ErrorText(code) + ")" +
                 (code == ERROR_ACCESS_DENIED ? ": run as an administrator" : "");
    }
    return manager;
}

// "C:\Program Files\x" quoted for a command line (Windows paths cannot hold a quote).
std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

// Registers the source Kovaltherm in the Application log, with ktsensors.exe's message table.
bool AddEventSource(const std::string &exe, std::string *error)
{
    HKEY key;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                              nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, (const BYTE *)exe.c_str(), (DWORD)exe.size() + 1);
        if (rc == ERROR_SUCCESS)
            rc = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, (const BYTE *)&kTypesSupported,
                                sizeof kTypesSupported);
        RegCloseKey(key);
    }
    if (rc != ERROR_SUCCESS)
        *error = "cannot register the event source HKEY_LOCAL_MACHINE\\" + std::string(kEventSourceKey) + " (" +
                 ErrorText((DWORD)rc) + ")";
    return rc == ERROR_SUCCESS;
}

// The value of `option` in a command line the installer wrote ("" when it has none).
std::string OptionValue(const std::string &command, const std::string &option)
{
    size_t at = command.find(" " + option + " ");
    if (at == std::string::npos)
        return "";
    at += option.size() + 2;
    if (at < command.size() && command[at] == '"') {
        size_t end = command.find('"', at + 1);
        return end == std::string::npos ? "" : command.substr(at + 1, end - at - 1);
    }
    return command.substr(at, command.find(' ', at) - at);
}

// Stops the service and waits until it has stopped, at most kUninstallStopMs.
bool StopAndWait(SC_HANDLE service)
{
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status))
        return false;
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING)
        ControlService(service, SERVICE_CONTROL_STOP, &status);
    ULONGLONG deadline = GetTickCount64() + kUninstallStopMs;
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(100);
    }
    return true;
}

} // namespace

std::string DefaultOutput()
{
    char folder[MAX_PATH] = "";
    DWORD length = GetEnvironmentVariableA("ProgramW6432", folder, sizeof folder);
    if (length == 0 || length >= sizeof folder)
        length = GetEnvironmentVariableA("ProgramFiles", folder, sizeof folder);
    std::string programFiles = length > 0 && length < sizeof folder ? folder : "C:\\Program Files";
    return programFiles + "\\" + kTextfileFolder + "\\" + kTextfileName;
}

std::string SecondsText(double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%g", seconds);
    return text;
}

int InstallService(const Options &options)
{
    char module[MAX_PATH * 2];
    DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
    if (length == 0 || length >= sizeof module)
        return Complain(1, "cannot tell where ktsensors.exe is (" + ErrorText(GetLastError()) + ")");
    std::string exe(module, length);
    // The service runs this program and the Kovaltherm.dll beside it as LocalSystem: whoever
    // can change their folder could run anything as LocalSystem.
    std::string problem = FolderProblem(FolderOf(exe));
    if (!problem.empty())
        return Complain(1, "not installing the service from here: " + problem +
                               "; copy ktsensors.exe and Kovaltherm.dll into a folder only administrators can "
                               "change (such as C:\\Program Files\\Kovaltherm) and install from there");
    std::string output = FullPath(options.output.empty() ? DefaultOutput() : options.output);
    problem = FolderProblem(FolderOf(output));
    bool missing = problem.find("does not exist") != std::string::npos;
    if (!problem.empty() && !missing)
        return Complain(1, "the service would not write " + output + ": " + problem +
                               "; allow only SYSTEM and the Administrators to change the folder");
    std::string command = Quoted(exe) + " --service --watch " + SecondsText(options.watchSeconds) + " --output " +
                          Quoted(output);
    if (!options.scenario.empty())
        command += " --scenario " + Quoted(FullPath(options.scenario));

    std::string error;
    SC_HANDLE manager = OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE, &error);
    if (!manager)
        return Complain(1, error);
    SC_HANDLE service = CreateServiceA(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) {
        DWORD code = GetLastError();
        CloseServiceHandle(manager);
        return Complain(1, "cannot create the service " + std::string(kServiceName) + " (" + ErrorText(code) + ")" +
                               (code == ERROR_SERVICE_EXISTS ? ": remove it first with --uninstall-service" : ""));
    }
    SERVICE_DESCRIPTIONA description = {const_cast<char *>(kDescription)};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
    SC_ACTION actions[sizeof kRestartDelaysMs / sizeof *kRestartDelaysMs];
    for (size_t i = 0; i < sizeof actions / sizeof *actions; ++i)
        actions[i] = {SC_ACTION_RESTART, kRestartDelaysMs[i]};
    SERVICE_FAILURE_ACTIONSA failure = {kFailureResetSeconds, nullptr, nullptr, sizeof actions / sizeof *actions,
                                        actions};
    bool ok = ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != 0;
    if (!ok)
        error = "cannot set the service's restarts after a failure (" + ErrorText(GetLastError()) + ")";
    // Also restart after the service stopped itself with an error, not only after a crash.
    SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
    ok = ok && AddEventSource(exe, &error);
    if (!ok) {
        DeleteService(service);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey);
        return Complain(1, error);
    }
    ok = StartServiceA(service, 0, nullptr) != 0;
    DWORD code = GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    printf("installed the service %s (LocalSystem, automatic start): a reading every %s s written to %s\n",
           kServiceName, SecondsText(options.watchSeconds).c_str(), output.c_str());
    if (missing)
        printf("note: %s does not exist yet; the service writes there once it does\n", FolderOf(output).c_str());
    if (!ok)
        return Complain(1, "the service is installed but did not start (" + ErrorText(code) + ")");
    return 0;
}

int UninstallService()
{
    std::string error;
    SC_HANDLE manager = OpenManager(SC_MANAGER_CONNECT, &error);
    if (!manager)
        return Complain(1, error);
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS |
                                                                SERVICE_QUERY_CONFIG | DELETE);
    DWORD code = GetLastError();
    std::string output;
    int status = 0;
    if (service) {
        std::vector<BYTE> config(8192);
        DWORD needed = 0;
        if (QueryServiceConfigA(service, (QUERY_SERVICE_CONFIGA *)config.data(), (DWORD)config.size(), &needed))
            output = OptionValue(((QUERY_SERVICE_CONFIGA *)config.data())->lpBinaryPathName, "--output");
        if (!StopAndWait(service))
            status = Complain(1, "the service did not stop within " + std::to_string(kUninstallStopMs / 1000) +
                                     " s; it is removed once it stops");
        if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            status = Complain(1, "cannot remove the service (" + ErrorText(GetLastError()) + ")");
        CloseServiceHandle(service);
    } else if (code != ERROR_SERVICE_DOES_NOT_EXIST) {
        CloseServiceHandle(manager);
        return Complain(1, "cannot open the service " + std::string(kServiceName) + " (" + ErrorText(code) + ")" +
                               (code == ERROR_ACCESS_DENIED ? ": run as an administrator" : ""));
    }
    CloseServiceHandle(manager);
    LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        status = Complain(1, "cannot remove the event source (" + ErrorText((DWORD)rc) + ")");
    if (!output.empty() && !DeleteFileA(output.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND)
        status = Complain(1, "cannot delete " + output + " (" + ErrorText(GetLastError()) + ")");
    if (status == 0)
        printf(service ? "removed the service %s, its event source and %s\n" : "no service %s is installed%s\n",
               kServiceName, service ? output.c_str() : "");
    return status;
}


} // namespace ktsensors
