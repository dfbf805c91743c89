// KovalthermSetup.dll: the custom actions of the Kovaltherm installer, for what its tables
// cannot say or Wine's installer does not do. They call the same code as ktsensors.exe
// --install-service and the service (client/): the textfile's checks and its deletion by handle,
// the listen address, the command line, the restarts, the URL reservation and its record; so the
// MSI keeps every rule the service keeps. The deferred ones run as LocalSystem and act on what
// the install recorded (its settings under HKLM\SOFTWARE\Kovaltherm, the reservation's record
// beside the service), never on properties given to a removal. All write what they did, or why
// they refused, to the installer's log.
#include <windows.h>
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "error_text_windows.h"
#include "folder_check_windows.h"
#include "folder_rules.h"
#include "interval_rules.h"
#include "listen_rules.h"
#include "sensor_config.h"
#include "service_rules.h"
#include "service_setup_windows.h"
#include "textfile_windows.h"
#include "url_reservation_windows.h"
#include "wide_windows.h"

using namespace ktsensors;

namespace {

// How long an install or removal waits for the service to stop.
const DWORD kServiceStopMs = 60000;
const DWORD kPollMs = 100;
// How long the removal waits for running monitors to close when asked, as the monitor waits up
// to 4 s for a library call under way, before it ends those still running.
const DWORD kMonitorCloseMs = 6000;
// What the service's state is taken as when the service manager cannot be asked.
const DWORD kStateUnknown = 0xFFFFFFFF;
// The service's interval in whole seconds, from a second to the longest --watch allows.
const DWORD kLongestInterval = KT_INTERVAL_LONGEST_SECONDS;
// LISTEN's value that leaves the service without a server.
const wchar_t kNoListen[] = L"none";
// CONFIG_FILE's value that leaves the service with the default sensor configuration.
const wchar_t kNoConfig[] = L"none";
// Where the install records its settings (the Settings component writes them).
const wchar_t kSettingsListen[] = L"Listen";
// Where a user's programs start at logon.
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// Writes one line to the installer's log, beginning "Kovaltherm: "; `error` also shows it to a
// person watching the install.
void Say(MSIHANDLE install, bool error, const std::wstring &text)
{
    // The installer reads the text as a template: each bracket (an IPv6 address) is escaped as
    // [\[] or [\]], so that it is kept rather than read as a property.
    std::wstring escaped = L"Kovaltherm: ";
    for (wchar_t c : text)
        escaped += c == L'[' ? std::wstring(L"[\\[]") : c == L']' ? std::wstring(L"[\\]]") : std::wstring(1, c);
    MSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringW(record, 0, escaped.c_str());
    MsiProcessMessage(install, error ? (INSTALLMESSAGE)(INSTALLMESSAGE_ERROR | MB_OK) : INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

void Say(MSIHANDLE install, bool error, const std::string &text) { Say(install, error, Wide(text)); }

// A property's value; "" when it is not set.
std::wstring Property(MSIHANDLE install, const wchar_t *name)
{
    std::wstring value(256, L'\0');
    DWORD length = (DWORD)value.size();
    UINT rc = MsiGetPropertyW(install, name, &value[0], &length);
    if (rc == ERROR_MORE_DATA) {
        value.resize(++length);
        rc = MsiGetPropertyW(install, name, &value[0], &length);
    }
    value.resize(rc == ERROR_SUCCESS ? length : 0);
    return value;
}

// CustomActionData's fields, which the installer joins with "|" (no path or setting holds one).
std::vector<std::wstring> Fields(MSIHANDLE install)
{
    std::wstring data = Property(install, L"CustomActionData");
    std::vector<std::wstring> fields;
    for (size_t start = 0;;) {
        size_t bar = data.find(L'|', start);
        fields.push_back(data.substr(start, bar == std::wstring::npos ? std::wstring::npos : bar - start));
        if (bar == std::wstring::npos)
            return fields;
        start = bar + 1;
    }
}

// True when `text` is a whole number of seconds from 1 to kLongestInterval, in digits only.
bool IsInterval(const std::wstring &text)
{
    DWORD seconds = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9' || i >= 6)
            return false;
        seconds = seconds * 10 + (DWORD)(text[i] - L'0');
    }
    return !text.empty() && seconds >= 1 && seconds <= kLongestInterval;
}

// LISTEN's value as --listen parses it: true with the address for the command line, built from
// the parsed parts ("" for "none"), and its http.sys URL ("" for none).
bool ParseListen(const std::wstring &listen, std::string *address, std::string *url)
{
    address->clear();
    url->clear();
    if (lstrcmpiW(listen.c_str(), kNoListen) == 0)
        return true;
    char host[KT_LISTEN_HOST_MAX], text[KT_LISTEN_HOST_MAX + 32];
    int port = 0;
    std::string narrow;
    for (wchar_t c : listen) {
        if (c > 127 || narrow.size() > KT_LISTEN_HOST_MAX + 8)
            return false;
        narrow += (char)c;
    }
    if (!KtParseListen(narrow.c_str(), host, &port) || port == 0)
        return false;
    bool v6 = strchr(host, ':') != nullptr;
    *address = !*host ? std::to_string(port) : (v6 ? "[" : "") + std::string(host) + (v6 ? "]:" : ":") + std::to_string(port);
    KtListenUrl(*host ? host : "127.0.0.1", port, text, sizeof text);
    *url = text;
    return true;
}

// The settings a service runs with, each checked by the service's own rules; `problem` says
// which one is refused, and why.
struct Settings {
    std::string problem;
    std::wstring interval;
    TextfileCheck textfile;
    std::string listen, url;
    std::wstring config; // "" for the default file
};

// CONFIG_FILE by --install-service --config's check (ServiceConfigProblem); "" or why not.
std::string CheckConfigFile(const std::wstring &config, std::wstring *checked)
{
    checked->clear();
    if (config.empty() || lstrcmpiW(config.c_str(), kNoConfig) == 0)
        return "";
    std::string problem = ServiceConfigProblem(config);
    if (!problem.empty())
        return "CONFIG_FILE must be none or a sensor configuration the service can read, not " + problem;
    *checked = config;
    return "";
}

Settings CheckedSettings(const std::wstring &interval, const std::wstring &textfile, const std::wstring &listen,
                         const std::wstring &config)
{
    Settings settings;
    settings.interval = interval;
    if (!IsInterval(interval)) {
        settings.problem = "INTERVAL must be a whole number of seconds from 1 to " + std::to_string(kLongestInterval) +
                           ", not \"" + Utf8(interval) + "\"";
        return settings;
    }
    // A path relative to msiexec's folder means nothing: it is refused before it is made full.
    settings.textfile = KtTextfilePathProblem(textfile.c_str()) == KT_PATH_NOT_FULL
                            ? TextfileCheck{TextfileCheck::Path, textfile, Utf8(KtPathRule(KT_PATH_NOT_FULL)), ""}
                            : CheckTextfile(textfile);
    const TextfileCheck &file = settings.textfile;
    std::string given = "\"" + Utf8(textfile) + "\"";
    switch (file.problem) {
    case TextfileCheck::Path:
        settings.problem = "TEXTFILE must be a .prom file the service can write (the path " + file.rule + "), not " + given;
        return settings;
    case TextfileCheck::Existing:
        settings.problem = "TEXTFILE must be a .prom file the service can write, not " + given + ", which " + file.rule;
        return settings;
    case TextfileCheck::Folder:
        settings.problem = "TEXTFILE must be in a folder only administrators can change, as every folder above it, not " +
                           given + ": " + file.rule;
        return settings;
    case TextfileCheck::None: break;
    }
    if (!ParseListen(listen, &settings.listen, &settings.url))
        settings.problem = "LISTEN must be ADDR:PORT (0.0.0.0:9757, 127.0.0.1:9757, [::]:9757) or none, not \"" +
                           Utf8(listen) + "\"";
    else
        settings.problem = CheckConfigFile(config, &settings.config);
    return settings;
}

// A value of the install's recorded settings (HKLM\SOFTWARE\Kovaltherm, in this package's view);
// "" when there is none.
std::wstring RecordedSetting(const wchar_t *name)
{
    wchar_t value[MAX_PATH * 2];
    DWORD size = sizeof value - sizeof *value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, KT_SETTINGS_KEY, name, RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS
               ? value
               : L"";
}

// The service's current state; 0 when it is no longer installed, kStateUnknown when the
// service manager cannot be asked. The service is opened anew each time: an open handle
// would keep a deleted service in the database.
DWORD ServiceState()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return kStateUnknown;
    DWORD state = kStateUnknown;
    SC_HANDLE service = OpenServiceW(manager, KT_SERVICE_NAME, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status;
    if (service) {
        if (QueryServiceStatus(service, &status))
            state = status.dwCurrentState;
        CloseServiceHandle(service);
    } else if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
        state = 0;
    CloseServiceHandle(manager);
    return state;
}

// Waits up to kServiceStopMs until the service has stopped, or is gone; returns its last state
// (0 when it is gone).
DWORD WaitUntilServiceStopped()
{
    ULONGLONG deadline = GetTickCount64() + kServiceStopMs;
    for (;;) {
        DWORD state = ServiceState();
        if (state == 0 || state == SERVICE_STOPPED || GetTickCount64() >= deadline)
            return state;
        Sleep(kPollMs);
    }
}

// Deletes the textfile the install recorded, if it is one of ours, and logs what it did.
void DeleteRecordedTextfile(MSIHANDLE install, const std::wstring &path)
{
    std::string why, file = Utf8(path);
    switch (DeleteOurTextfile(path, &why)) {
    case Removal::Deleted: Say(install, false, "deleted " + file); break;
    case Removal::Absent: Say(install, false, "no textfile at " + file + " to delete"); break;
    case Removal::Left: Say(install, false, "not deleting " + file + ": " + why); break;
    case Removal::Failed: Say(install, false, "cannot delete " + file + " (" + why + ")"); break;
    }
}

void SayAll(MSIHANDLE install, const std::vector<std::string> &lines)
{
    for (const std::string &line : lines)
        Say(install, false, line);
}

// The processes whose program is `program`, opened to be waited for and ended.
std::vector<std::pair<DWORD, HANDLE>> ProcessesOf(const std::wstring &program)
{
    std::vector<std::pair<DWORD, HANDLE>> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot != INVALID_HANDLE_VALUE && Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                     entry.th32ProcessID);
        wchar_t image[MAX_PATH * 2];
        DWORD length = sizeof image / sizeof *image;
        if (process && QueryFullProcessImageNameW(process, 0, image, &length) &&
            SamePath(std::wstring(image, length), program))
            found.push_back({entry.th32ProcessID, process});
        else if (process)
            CloseHandle(process);
    }
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    return found;
}

// Asks every top-level window of the processes `ids` on each desktop this process can reach to
// close, as Restart Manager does when an installer must replace a program's files: the monitor
// ends at WM_ENDSESSION. Windows of other sessions cannot be reached.
void AskToClose(const std::vector<DWORD> &ids)
{
    struct Ask {
        static BOOL CALLBACK Window(HWND window, LPARAM ids)
        {
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            for (DWORD id : *(const std::vector<DWORD> *)ids)
                if (id == process)
                    PostMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
            return TRUE;
        }
        static BOOL CALLBACK Desktop(LPWSTR name, LPARAM ids)
        {
            if (HDESK desktop = OpenDesktopW(name, 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE)) {
                EnumDesktopWindows(desktop, Window, ids);
                CloseDesktop(desktop);
            }
            return TRUE;
        }
    };
    EnumDesktopsW(GetProcessWindowStation(), Ask::Desktop, (LPARAM)&ids);
}

// The program a Run value starts: its first word, or the quoted path.
std::wstring RunProgram(const std::wstring &command)
{
    if (!command.empty() && command[0] == L'"')
        return command.substr(1, command.find(L'"', 1) - 1);
    return command.substr(0, command.find(L' '));
}

// Deletes from the Run key of the user hive `user` (open) every value that starts `program`;
// the names deleted.
std::vector<std::wstring> DeleteRunValues(HKEY user, const std::wstring &program)
{
    std::vector<std::wstring> deleted;
    HKEY run;
    if (RegOpenKeyExW(user, kRunKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &run) != ERROR_SUCCESS)
        return deleted;
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256], data[MAX_PATH * 2];
        DWORD nameLength = 256, size = sizeof data - sizeof *data, type = 0;
        LONG rc = RegEnumValueW(run, i, name, &nameLength, nullptr, &type, (BYTE *)data, &size);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        data[rc == ERROR_SUCCESS ? size / sizeof *data : 0] = 0;
        if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && SamePath(RunProgram(data), program))
            names.push_back(name);
    }
    for (const std::wstring &name : names)
        if (RegDeleteValueW(run, name.c_str()) == ERROR_SUCCESS)
            deleted.push_back(name);
    RegCloseKey(run);
    return deleted;
}

// Enables these privileges of this process's token, where it holds them.
void EnablePrivileges(std::initializer_list<const wchar_t *> names)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return;
    for (const wchar_t *name : names) {
        TOKEN_PRIVILEGES privilege = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        if (LookupPrivilegeValueW(nullptr, name, &privilege.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privilege, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

// Deletes every user's Run values that start `program`: the hives of the users logged on, and
// those of the profiles on the machine, loaded for the purpose. Returns lines for the log.
std::vector<std::string> ForgetAutostarts(const std::wstring &program)
{
    std::vector<std::string> said;
    auto note = [&](const std::wstring &user, const std::vector<std::wstring> &names) {
        for (const std::wstring &name : names)
            said.push_back("deleted the Run value \"" + Utf8(name) + "\" of " + Utf8(user) + ", which started " +
                           Utf8(program));
    };
    std::vector<std::wstring> loaded;
    for (DWORD i = 0;; ++i) {
        wchar_t sid[256];
        DWORD length = 256;
        if (RegEnumKeyExW(HKEY_USERS, i, sid, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        loaded.push_back(sid);
    }
    for (const std::wstring &sid : loaded) {
        HKEY user;
        if (RegOpenKeyExW(HKEY_USERS, sid.c_str(), 0, KEY_READ, &user) == ERROR_SUCCESS) {
            note(sid, DeleteRunValues(user, program));
            RegCloseKey(user);
        }
    }
    // Profiles whose hive is not loaded: loaded under a name of ours, changed, unloaded.
    const wchar_t kProfiles[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    const wchar_t kTemporaryHive[] = L"Kovaltherm.Uninstall";
    HKEY profiles;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfiles, 0, KEY_READ, &profiles) != ERROR_SUCCESS)
        return said;
    bool privileged = false;
    for (DWORD i = 0;; ++i) {
        wchar_t sid[256], folder[MAX_PATH], expanded[MAX_PATH];
        DWORD length = 256, size = sizeof folder - sizeof *folder;
        if (RegEnumKeyExW(profiles, i, sid, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        bool isLoaded = false;
        for (const std::wstring &name : loaded)
            isLoaded = isLoaded || lstrcmpiW(name.c_str(), sid) == 0;
        if (isLoaded || RegGetValueW(profiles, sid, L"ProfileImagePath", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                                     nullptr, folder, &size) != ERROR_SUCCESS)
            continue;
        DWORD expandedLength = ExpandEnvironmentStringsW(folder, expanded, MAX_PATH);
        std::wstring hive = std::wstring(expandedLength && expandedLength <= MAX_PATH ? expanded : folder) + L"\\NTUSER.DAT";
        if (GetFileAttributesW(hive.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        if (!privileged) {
            // Loading a hive takes the backup and restore privileges, which LocalSystem holds.
            EnablePrivileges({L"SeRestorePrivilege", L"SeBackupPrivilege"});
            privileged = true;
        }
        if (RegLoadKeyW(HKEY_USERS, kTemporaryHive, hive.c_str()) != ERROR_SUCCESS)
            continue;
        HKEY user;
        if (RegOpenKeyExW(HKEY_USERS, kTemporaryHive, 0, KEY_READ, &user) == ERROR_SUCCESS) {
            note(sid, DeleteRunValues(user, program));
            RegCloseKey(user);
        }
        RegUnLoadKeyW(HKEY_USERS, kTemporaryHive);
    }
    RegCloseKey(profiles);
    return said;
}

} // namespace

// Before LaunchConditions: refuses the x86 package on 64-bit Windows, a downgrade and settings
// the service could not run with, with a message the log keeps (Wine's installer logs no launch
// condition's message in a silent install). Then makes TEXTFILE the full path with long names
// the service will write, and sets ServiceArguments, the service's arguments from the checked
// settings. Returns ERROR_INSTALL_FAILURE when it refuses.
extern "C" UINT __stdcall CheckSettings(MSIHANDLE install)
{
#ifndef _WIN64
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) {
        Say(install, true, Property(install, L"Only32BitMessage"));
        return ERROR_INSTALL_FAILURE;
    }
#endif
    if (!Property(install, L"WIX_DOWNGRADE_DETECTED").empty()) {
        Say(install, true, Property(install, L"DowngradeMessage"));
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring textfile = Property(install, L"TEXTFILE");
    Settings settings = CheckedSettings(Property(install, L"INTERVAL"), textfile, Property(install, L"LISTEN"),
                                        Property(install, L"CONFIG_FILE"));
    if (!settings.problem.empty()) {
        Say(install, true, settings.problem);
        return ERROR_INSTALL_FAILURE;
    }
    const TextfileCheck &file = settings.textfile;
    if (file.path != textfile) {
        Say(install, false, "TEXTFILE " + Utf8(textfile) + " is " + Utf8(file.path));
        MsiSetPropertyW(install, L"TEXTFILE", file.path.c_str());
    }
    if (!file.missingFolder.empty())
        Say(install, false, "the folder " + file.missingFolder + " does not exist yet: the service starts anyway, "
                            "reports event 300 at each reading until the folder is there (windows_exporter's installer "
                            "makes its own), and writes " + Utf8(file.path) + " from the first reading after");
    wchar_t arguments[MAX_PATH * 2];
    std::wstring listen = Wide(settings.listen);
    if (!KtServiceArguments(arguments, sizeof arguments / sizeof *arguments, settings.interval.c_str(),
                            file.path.c_str(), nullptr, listen.empty() ? nullptr : listen.c_str(),
                            settings.config.empty() ? nullptr : settings.config.c_str())) {
        Say(install, true, L"no command line for the service " KT_SERVICE_NAME);
        return ERROR_INSTALL_FAILURE;
    }
    MsiSetPropertyW(install, L"ServiceArguments", arguments);
    return ERROR_SUCCESS;
}

// After InstallServices, with CustomActionData "PROGRAM|INTERVAL|TEXTFILE|LISTEN|CONFIG_FILE": checks the
// program's folder and the settings again (as LocalSystem, with the files in place), then gives
// the service its command line, built from the checked parts (the program's path in quotes, as
// Windows Installer writes it but Wine's does not, also where the service existed before), its
// restarts after a failure, and the reservation of its URL (moved when LISTEN changed), recorded.
// Returns ERROR_INSTALL_FAILURE when one is refused or could not be set.
extern "C" UINT __stdcall FinishServiceInstall(MSIHANDLE install)
{
    std::vector<std::wstring> data = Fields(install);
    data.resize(5);
    const std::wstring &exe = data[0];
    Settings settings = CheckedSettings(data[1], data[2], data[3], data[4]);
    std::string problem = FolderProblem(FolderOf(Utf8(exe)));
    if (!problem.empty())
        settings.problem = "not installing the service from " + Utf8(exe) + ": " + problem;
    if (!settings.problem.empty()) {
        Say(install, true, settings.problem);
        return ERROR_INSTALL_FAILURE;
    }
    wchar_t line[MAX_PATH * 3];
    std::wstring listen = Wide(settings.listen);
    if (!KtServiceCommandLine(line, sizeof line / sizeof *line, exe.c_str(), settings.interval.c_str(),
                              settings.textfile.path.c_str(), nullptr, listen.empty() ? nullptr : listen.c_str(),
                              settings.config.empty() ? nullptr : settings.config.c_str())) {
        Say(install, true, L"no command line for the service " KT_SERVICE_NAME);
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring command = line;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    // Restart actions need the right to start the service as well as to configure it.
    SC_HANDLE service = manager ? OpenServiceW(manager, KT_SERVICE_NAME, SERVICE_CHANGE_CONFIG | SERVICE_START) : nullptr;
    std::string holds;
    bool configured = service && ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                      command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                                      nullptr);
    DWORD code = GetLastError();
    bool restarts = configured && ConfigureRestarts(service, &holds);
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    if (!configured) {
        Say(install, true, L"cannot set the command line of the service " KT_SERVICE_NAME L" (" + Wide(ErrorText(code)) + L")");
        return ERROR_INSTALL_FAILURE;
    }
    if (!restarts) {
        Say(install, true, holds);
        return ERROR_INSTALL_FAILURE;
    }
    Say(install, false, L"the service " KT_SERVICE_NAME L" runs " + command);
    Say(install, false, holds);
    std::vector<std::string> said;
    problem = ReserveServiceUrl(*MakeHttpSysReservations(), settings.url, &said);
    SayAll(install, said);
    if (!problem.empty()) {
        Say(install, true, "LISTEN: " + problem);
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

// After StopServices, before DeleteServices, where the service is removed or (re)installed: waits
// until it has stopped, which Windows Installer does but Wine's does not, so that no running
// service holds the files being replaced, or writes its textfile again. CustomActionData says
// what follows: "uninstall" (a real one, not an upgrade's removal of the older version) removes
// the URL reservation the install recorded and deletes the textfile the install recorded;
// "install|TEXTFILE" deletes the recorded textfile when TEXTFILE moves it elsewhere (and takes
// over the reservation an earlier install without records made); "" only waits.
// Returns ERROR_INSTALL_FAILURE when the service still runs at the bound.
extern "C" UINT __stdcall FinishServiceStop(MSIHANDLE install)
{
    std::vector<std::wstring> data = Fields(install);
    data.resize(2);
    DWORD state = WaitUntilServiceStopped();
    if (state != 0 && state != SERVICE_STOPPED) {
        Say(install, true, L"the service " KT_SERVICE_NAME L" did not stop within " + std::to_wstring(kServiceStopMs / 1000) + L" s");
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring recorded = RecordedSetting(KT_SETTINGS_TEXTFILE);
    std::unique_ptr<UrlReservations> reservations = MakeHttpSysReservations();
    std::vector<std::string> said;
    if (data[0] == L"uninstall") {
        std::string problem = UnreserveServiceUrl(*reservations, &said);
        SayAll(install, said);
        if (!problem.empty())
            Say(install, false, problem);
        if (!recorded.empty())
            DeleteRecordedTextfile(install, recorded);
    } else if (data[0] == L"install") {
        std::string address, url;
        if (ParseListen(RecordedSetting(kSettingsListen), &address, &url))
            AdoptEarlierReservation(*reservations, url, &said);
        SayAll(install, said);
        // A file the service no longer writes would keep its last reading for good.
        if (!recorded.empty() && !SamePath(FullLongPath(recorded), FullLongPath(data[1])))
            DeleteRecordedTextfile(install, recorded);
    }
    return ERROR_SUCCESS;
}

// Before InstallInitialize, where the monitor is removed: the path Windows Installer recorded
// for the installed monitor, for CloseMonitors (in its property of that name).
extern "C" UINT __stdcall FindMonitor(MSIHANDLE install)
{
    std::wstring product = Property(install, L"ProductCode"), component;
    MSIHANDLE database = MsiGetActiveDatabase(install), view = 0, row = 0;
    if (database && MsiDatabaseOpenViewW(database, L"SELECT `ComponentId` FROM `Component` WHERE `Component` = 'Monitor'",
                                         &view) == ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &row) == ERROR_SUCCESS) {
        wchar_t id[64];
        DWORD length = 64;
        if (MsiRecordGetStringW(row, 1, id, &length) == ERROR_SUCCESS)
            component = id;
    }
    for (MSIHANDLE handle : {row, view, database})
        if (handle)
            MsiCloseHandle(handle);
    wchar_t path[MAX_PATH * 2];
    DWORD length = sizeof path / sizeof *path;
    INSTALLSTATE state = component.empty() ? INSTALLSTATE_UNKNOWN
                                           : MsiGetComponentPathW(product.c_str(), component.c_str(), path, &length);
    if (state == INSTALLSTATE_LOCAL)
        MsiSetPropertyW(install, L"CloseMonitors", path);
    return ERROR_SUCCESS;
}

// Before RemoveFiles, where the monitor is removed, with CustomActionData its recorded path:
// asks each running monitor of that path to close, as Restart Manager asks a program whose files
// an installer replaces (the monitor ends at WM_ENDSESSION, its icon removed and its library call
// finished), ends those that have not within kMonitorCloseMs (in other sessions, or not
// answering), and deletes every user's Run value that would start it. So no file of the product
// stays in use, and nothing of ours points at a missing file.
extern "C" UINT __stdcall CloseMonitors(MSIHANDLE install)
{
    std::wstring program = Property(install, L"CustomActionData");
    if (program.empty())
        return ERROR_SUCCESS;
    std::vector<std::pair<DWORD, HANDLE>> running = ProcessesOf(program);
    std::vector<DWORD> ids;
    for (const auto &process : running)
        ids.push_back(process.first);
    if (!running.empty()) {
        AskToClose(ids);
        ULONGLONG deadline = GetTickCount64() + kMonitorCloseMs;
        for (const auto &process : running) {
            ULONGLONG now = GetTickCount64();
            DWORD left = now < deadline ? (DWORD)(deadline - now) : 0;
            std::wstring id = std::to_wstring(process.first);
            if (WaitForSingleObject(process.second, left) == WAIT_OBJECT_0) {
                Say(install, false, L"closed the monitor " + program + L" (process " + id + L")");
            } else if (TerminateProcess(process.second, ERROR_PRODUCT_UNINSTALLED) &&
                       WaitForSingleObject(process.second, kMonitorCloseMs) == WAIT_OBJECT_0) {
                Say(install, false, L"ended the monitor " + program + L" (process " + id + L"), which did not close within " +
                                        std::to_wstring(kMonitorCloseMs / 1000) + L" s");
            } else {
                Say(install, false, L"cannot end the monitor " + program + L" (process " + id + L", " +
                                        Wide(ErrorText(GetLastError())) + L"): its files go at the next restart");
            }
            CloseHandle(process.second);
        }
    }
    SayAll(install, ForgetAutostarts(program));
    return ERROR_SUCCESS;
}

// After CreateFolders, with CustomActionData the sensor configuration's folder
// (%ProgramData%\Kovaltherm\): gives it KT_CONFIG_FOLDER_SDDL, owner and protected access list
// (Program Files' access: only SYSTEM, the Administrators and TrustedInstaller may change it and
// what is in it), also when it was there before, as any user may make a folder in %ProgramData%.
// A link or file at its name is refused. Returns ERROR_INSTALL_FAILURE when it cannot be set.
extern "C" UINT __stdcall SecureConfigFolder(MSIHANDLE install)
{
    std::wstring folder = Property(install, L"CustomActionData");
    // Whoever made the folder may have kept its access to themselves: backup semantics with
    // these privileges open it to set its owner and access all the same.
    EnablePrivileges({L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege"});
    HANDLE handle = CreateFileW(folder.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL acl = nullptr;
    BOOL defaulted, present;
    DWORD code = ERROR_SUCCESS;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        code = GetLastError();
    else if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY) {
        Say(install, true, folder + L" is a link or a file, not a folder: remove it and install again");
        CloseHandle(handle);
        return ERROR_INSTALL_FAILURE;
    } else if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(KT_CONFIG_FOLDER_SDDL, SDDL_REVISION_1, &descriptor,
                                                                     nullptr) ||
               !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
               !GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted))
        code = GetLastError();
    else
        code = SetSecurityInfo(handle, SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               owner, nullptr, acl, nullptr);
    if (descriptor)
        LocalFree(descriptor);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (code != ERROR_SUCCESS) {
        Say(install, true, L"cannot give " + folder + L" the access of Program Files (" + Wide(ErrorText(code)) + L")");
        return ERROR_INSTALL_FAILURE;
    }
    Say(install, false, L"only SYSTEM, the Administrators and TrustedInstaller may change " + folder + L" (" +
                            KT_CONFIG_FOLDER_SDDL + L")");
    return ERROR_SUCCESS;
}
