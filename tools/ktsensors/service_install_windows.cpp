// Installing the Windows service: --install-service checks everything the service will do
// (its folders, its file, its options parsed as the service parses them), then registers it
// with the service manager (LocalSystem, automatic start, restarted after a failure) and its
// Event Log source, or brings an installed one to the options given; --uninstall-service
// removes both, the file it wrote and the URL reservation it made, once the service has stopped.
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <vector>

#include "error_text_windows.h"
#include "folder_check_windows.h"
#include "folder_rules.h"
#include "listen.h"
#include "scenario.h"
#include "sensor_config.h"
#include "service_rules.h"
#include "service_setup_windows.h"
#include "service_windows.h"
#include "textfile_windows.h"
#include "tool.h"
#include "url_reservation_windows.h"
#include "wide_windows.h"

namespace ktsensors {

namespace {

const wchar_t *const kEventSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" KT_SERVICE_NAME;
// The Event Log types the message table uses: error, warning, information.
const DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
// How long --install-service and --uninstall-service wait for the service to stop: its bound,
// and as much again for the service manager on a loaded machine.
const DWORD kStopWaitMs = 2 * kServiceStopBoundMs;
const DWORD kStopPollMs = 100;
const std::string kName = Utf8(KT_SERVICE_NAME);

// Opens the service manager, or says why not (standard users may not change services).
SC_HANDLE OpenManager(DWORD access, std::string *error)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, access);
    if (!manager) {
        DWORD code = GetLastError();
        *error = "cannot open the service manager (" + ErrorText(code) + ")" +
                 (code == ERROR_ACCESS_DENIED ? ": run as an administrator" : "");
    }
    return manager;
}

// Registers the source Kovaltherm in the Application log, with ktsensors.exe's message table.
bool AddEventSource(const std::wstring &exe, std::string *error)
{
    HKEY key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                              nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, (const BYTE *)exe.c_str(),
                            (DWORD)((exe.size() + 1) * sizeof(wchar_t)));
        if (rc == ERROR_SUCCESS)
            rc = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, (const BYTE *)&kTypesSupported,
                                sizeof kTypesSupported);
        RegCloseKey(key);
    }
    if (rc != ERROR_SUCCESS)
        *error = "cannot register the event source HKEY_LOCAL_MACHINE\\" + Utf8(kEventSourceKey) + " (" +
                 ErrorText((DWORD)rc) + ")";
    return rc == ERROR_SUCCESS;
}

// Whether the MSI installed the service: its settings are there (in the 64-bit view, where
// the x64 MSI keeps them, also for the 32-bit build).
bool InstalledByMsi()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KT_SETTINGS_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    bool found = RegQueryValueExW(key, KT_SETTINGS_TEXTFILE, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

// Parses a service command line as the service will parse its own; false with the message.
bool ParseServiceCommand(const std::wstring &command, Options *options, std::string *error)
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(command.c_str(), &count);
    std::vector<std::string> utf8;
    for (int i = 0; arguments && i < count; ++i)
        utf8.push_back(Utf8(arguments[i]));
    LocalFree(arguments);
    std::vector<char *> argv;
    for (std::string &argument : utf8)
        argv.push_back(&argument[0]);
    Platform platform;
    platform.service = true;
    return ParseOptions((int)argv.size(), argv.data(), platform, options, error) == ParseResult::Run &&
           options->service == ServiceCommand::Run;
}

// The options the installed service runs with, from its command line; false if unreadable.
bool InstalledOptions(SC_HANDLE service, Options *options)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> config(needed ? needed : 1);
    std::string error;
    return QueryServiceConfigW(service, (QUERY_SERVICE_CONFIGW *)config.data(), (DWORD)config.size(), &needed) &&
           ParseServiceCommand(((QUERY_SERVICE_CONFIGW *)config.data())->lpBinaryPathName, options, &error);
}

// Stops the service and waits until it has stopped, at most kStopWaitMs.
bool StopAndWait(SC_HANDLE service)
{
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status))
        return false;
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING)
        ControlService(service, SERVICE_CONTROL_STOP, &status);
    ULONGLONG deadline = GetTickCount64() + kStopWaitMs;
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(kStopPollMs);
    }
    return status.dwCurrentState == SERVICE_STOPPED;
}

// The service's description and its restarts after a failure; false with the message.
bool Configure(SC_HANDLE service, std::string *error)
{
    wchar_t description[] = KT_SERVICE_DESCRIPTION;
    SERVICE_DESCRIPTIONW text = {description};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &text);
    std::string holds;
    if (ConfigureRestarts(service, &holds))
        return true;
    *error = holds;
    return false;
}

// Deletes the textfile at `path` if the service wrote it. False with why when it cannot;
// *note says when something else is there, which is left alone.
bool DeleteTextfile(const std::string &path, std::string *note)
{
    std::string why;
    switch (DeleteOurTextfile(Wide(path), &why)) {
    case Removal::Deleted:
    case Removal::Absent: return true;
    case Removal::Left: *note = "left " + path + " (" + why + ")"; return true;
    case Removal::Failed: *note = "cannot delete " + path + " (" + why + ")"; return false;
    }
    return false;
}

// The http.sys URL the service with `options` answers at; "" when it does not listen.
std::string ServiceUrl(const Options &options)
{
    return options.listen ? HttpSysUrl(options.listenHost, options.listenPort) : "";
}

// What the service will run: the checked file and scenario, and its command line parsed back
// as the service will parse it. "" or why the service could not run so.
std::string PlanService(const std::wstring &exe, const Options &options, std::wstring *command, std::string *output)
{
    TextfileCheck file = CheckTextfile(Wide(options.output.empty() ? DefaultOutput() : options.output));
    *output = Utf8(file.path);
    switch (file.problem) {
    case TextfileCheck::Path: return "--output " + *output + ": the file " + file.rule;
    case TextfileCheck::Existing: return "--output " + *output + " " + file.rule;
    case TextfileCheck::Folder:
        return "the service would not write " + *output + ": " + file.rule +
               "; allow only SYSTEM and the Administrators to change it and every folder above it";
    case TextfileCheck::None: break;
    }
    if (!file.missingFolder.empty())
        return "the service would not write " + *output + ": the folder " + file.missingFolder +
               " does not exist; install windows_exporter first, or create the folder so that only administrators "
               "can change it";
    std::string scenario;
    if (!options.scenario.empty()) {
        scenario = Utf8(FullLongPath(Wide(options.scenario)));
        SimConfig config;
        std::string error;
        if (!LoadScenarioFile(scenario, &config, &error))
            return "scenario " + error;
    }
    std::string config;
    if (!options.config.empty()) {
        // The file as the service will read it, refused here where whoever installs can mend it.
        config = Utf8(FullLongPath(Wide(options.config)));
        std::string problem = ServiceConfigProblem(Wide(config));
        if (!problem.empty())
            return "--config " + problem;
    }
    // Windows paths cannot hold a quote, so each one quoted stays one argument.
    std::wstring seconds = Wide(SecondsText(options.watchSeconds)), wideScenario = Wide(scenario),
                 listen = Wide(ListenAddress(options.listenHost, options.listenPort)), wideConfig = Wide(config);
    std::vector<wchar_t> line(exe.size() + file.path.size() + wideScenario.size() + seconds.size() + listen.size() +
                              wideConfig.size() + 128);
    KtServiceCommandLine(line.data(), line.size(), exe.c_str(), seconds.c_str(), file.path.c_str(),
                         scenario.empty() ? nullptr : wideScenario.c_str(), options.listen ? listen.c_str() : nullptr,
                         config.empty() ? nullptr : wideConfig.c_str());
    *command = line.data();
    if (command->find(L'%') != std::wstring::npos)
        return "the service's command line may not hold %, which the service manager would expand: " + Utf8(*command);
    Options parsed;
    std::string error;
    if (!ParseServiceCommand(*command, &parsed, &error) || parsed.output != *output || parsed.scenario != scenario ||
        parsed.config != config ||
        parsed.watchSeconds != options.watchSeconds || parsed.listen != options.listen ||
        (options.listen && (parsed.listenHost != options.listenHost || parsed.listenPort != options.listenPort)))
        return "the service would not read its command line as given (" + (error.empty() ? Utf8(*command) : error) + ")";
    return "";
}

} // namespace

std::string DefaultOutput()
{
    wchar_t folder[MAX_PATH] = L"";
    DWORD length = GetEnvironmentVariableW(L"ProgramW6432", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        length = GetEnvironmentVariableW(L"ProgramFiles", folder, MAX_PATH);
    std::wstring programFiles = length > 0 && length < MAX_PATH ? folder : L"C:\\Program Files";
    return Utf8(programFiles + L"\\" + KT_TEXTFILE_DEFAULT);
}

int InstallService(const Options &options)
{
    std::wstring folder = ProgramFolder();
    if (folder.empty())
        return Complain(1, "cannot tell where ktsensors.exe is (" + ErrorText(GetLastError()) + ")");
    std::wstring exe = folder + L"ktsensors.exe";
    // The service runs this program and the Kovaltherm.dll beside it as LocalSystem: whoever
    // can change their folder could run anything as LocalSystem.
    std::string problem = FolderProblem(Utf8(folder.substr(0, folder.size() - 1)));
    if (!problem.empty())
        return Complain(1, "not installing the service from here: " + problem +
                               "; copy ktsensors.exe and Kovaltherm.dll into a folder only administrators can "
                               "change (such as C:\\Program Files\\Kovaltherm) and install from there");
    std::wstring command;
    std::string output;
    problem = PlanService(exe, options, &command, &output);
    if (!problem.empty())
        return Complain(1, "not installing the service: " + problem);

    std::string error;
    SC_HANDLE manager = OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE, &error);
    if (!manager)
        return Complain(1, error);
    bool updated = false;
    Options before;
    std::string url = ServiceUrl(options);
    std::unique_ptr<UrlReservations> reservations = MakeHttpSysReservations();
    std::vector<std::string> said;
    SC_HANDLE service = OpenServiceW(manager, KT_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service) {
        if (InstalledByMsi()) {
            CloseServiceHandle(service);
            CloseServiceHandle(manager);
            return Complain(1, "the service " + kName + " was installed by the Kovaltherm MSI: change its settings "
                                   "with msiexec (INTERVAL, TEXTFILE), or uninstall the MSI first");
        }
        // An upgrade by script: the service stops (its file then says kovaltherm_up 0), takes
        // the new command line and starts again; its file is never deleted on the way.
        bool known = InstalledOptions(service, &before);
        if (!StopAndWait(service)) {
            CloseServiceHandle(service);
            CloseServiceHandle(manager);
            return Complain(1, "the service " + kName + " did not stop within " + std::to_string(kStopWaitMs / 1000) +
                                   " s; nothing was changed");
        }
        if (known)
            AdoptEarlierReservation(*reservations, ServiceUrl(before), &said);
        error = ReserveServiceUrl(*reservations, url, &said);
        if (!error.empty()) {
            StartServiceW(service, 0, nullptr);
            CloseServiceHandle(service);
            CloseServiceHandle(manager);
            return Complain(1, "not updating the service: " + error + "; it runs as before");
        }
        if (!ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  command.c_str(), nullptr, nullptr, nullptr, L"LocalSystem", L"",
                                  KT_SERVICE_DISPLAY_NAME)) {
            error = "cannot change the service " + kName + " (" + ErrorText(GetLastError()) + ")";
            StartServiceW(service, 0, nullptr);
            CloseServiceHandle(service);
            CloseServiceHandle(manager);
            return Complain(1, error + "; it runs as before");
        }
        updated = true;
        // A file the service no longer writes would keep its last reading for good.
        std::string note;
        if (known && !before.output.empty() && before.output != output)
            DeleteTextfile(before.output, &note);
        if (!note.empty())
            printf("note: %s\n", note.c_str());
    } else {
        service = CreateServiceW(manager, KT_SERVICE_NAME, KT_SERVICE_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                 nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!service) {
            DWORD code = GetLastError();
            CloseServiceHandle(manager);
            return Complain(1, "cannot create the service " + kName + " (" + ErrorText(code) + ")");
        }
    }
    bool ok = Configure(service, &error) && AddEventSource(exe, &error);
    if (ok && !updated) {
        // The reservation's record lives in the service's key: it is made once the service exists.
        error = ReserveServiceUrl(*reservations, url, &said);
        ok = error.empty();
        if (!ok)
            error = "not installing the service: " + error;
    }
    if (!ok && !updated) {
        DeleteService(service);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    }
    if (!ok) {
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return Complain(1, error);
    }
    ok = StartServiceW(service, 0, nullptr) != 0;
    DWORD code = GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    printf("%s the service %s (LocalSystem, automatic start): a reading every %s s written to %s%s\n",
           updated ? "updated" : "installed", kName.c_str(), SecondsText(options.watchSeconds).c_str(), output.c_str(),
           url.empty() ? "" : (" and served at " + url + " (/metrics, /json)").c_str());
    fflush(stdout);
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
    SC_HANDLE service = OpenServiceW(manager, KT_SERVICE_NAME, SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS |
                                                                   SERVICE_QUERY_CONFIG | DELETE);
    DWORD code = GetLastError();
    if (!service) {
        CloseServiceHandle(manager);
        if (code != ERROR_SERVICE_DOES_NOT_EXIST)
            return Complain(1, "cannot open the service " + kName + " (" + ErrorText(code) + ")" +
                                   (code == ERROR_ACCESS_DENIED ? ": run as an administrator" : ""));
        // An event source left without its service goes too.
        bool source = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey) == ERROR_SUCCESS;
        printf("no service %s is installed%s\n", kName.c_str(), source ? "; removed its event source" : "");
        return 0;
    }
    auto fail = [&](const std::string &message) {
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return Complain(1, message);
    };
    if (InstalledByMsi())
        return fail("the service " + kName + " was installed by the Kovaltherm MSI: uninstall the MSI instead");
    Options options;
    if (!InstalledOptions(service, &options))
        options.output.clear();
    // Nothing is removed before the service has stopped, so nothing writes the file again.
    if (!StopAndWait(service))
        return fail("the service " + kName + " did not stop within " + std::to_string(kStopWaitMs / 1000) +
                    " s; nothing was removed");
    // The reservation goes as its install recorded it, in the service's key, which goes next.
    std::vector<std::string> said;
    std::string unreserved = UnreserveServiceUrl(*MakeHttpSysReservations(), &said);
    if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
        error = "cannot remove the service " + kName + " (" + ErrorText(GetLastError()) + ")";
        StartServiceW(service, 0, nullptr);
        return fail(error + "; it runs as before");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    int status = 0;
    if (!unreserved.empty())
        status = Complain(1, "removed the service, but " + unreserved);
    LONG rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        status = Complain(1, "removed the service, but not its event source (" + ErrorText((DWORD)rc) + ")");
    std::string note;
    if (!options.output.empty() && !DeleteTextfile(options.output, &note))
        status = Complain(1, "removed the service, but " + note);
    else if (!note.empty())
        printf("note: %s\n", note.c_str());
    if (status == 0)
        printf("removed the service %s, its event source and %s\n", kName.c_str(), options.output.c_str());
    for (const std::string &line : said)
        printf("%s\n", line.c_str());
    return status;
}

} // namespace ktsensors
