// ktsensors.exe as a Windows service: --install-service registers it with the service manager
// (LocalSystem, automatic start, restarted after a failure) and its Event Log source;
// --uninstall-service removes both and the file it wrote; --service is what the service manager
// runs: a reading every interval, written as Prometheus text for windows_exporter's textfile
// collector, and an event for each change worth telling.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <signal.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "messages.h"
#include "readings.h"
#include "scenario.h"
#include "service.h"

namespace ktsensors {

namespace {

const char *const kServiceName = "Kovaltherm";
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
// How long the service may take to stop: the export call under way (at most about 4 s with a
// controller that never answers, after at most 5 s for the library's lock) and the last file.
const DWORD kStopWaitHintMs = 10000;
const DWORD kStartWaitHintMs = 5000;
// Restarts after a failure: 10 s, 10 s, then 60 s; the count starts again after a day.
const DWORD kRestartDelaysMs[] = {10000, 10000, 60000};
const DWORD kFailureResetSeconds = 24 * 60 * 60;
// How long --uninstall-service waits for the service to stop.
const DWORD kUninstallStopMs = 30000;
// The SID of TrustedInstaller, which owns much of the system's folders.
const char *const kTrustedInstallerSid = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// Rights on a folder that let their holder put a file of their own where the service writes,
// or change who may: add a file or folder, delete children, delete it, change its ACL or owner.
const DWORD kFolderWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                 WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

std::string ErrorText(DWORD code)
{
    char text[512] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                  sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.'))
        text[--length] = '\0';
    return "error " + std::to_string(code) + (length ? ": " + std::string(text) : "");
}

int Complain(int code, const std::string &message)
{
    fprintf(stderr, "ktsensors: %s\n", message.c_str());
    return code;
}

// The folder part of a path ("C:\a\b.prom" -> "C:\a").
std::string FolderOf(const std::string &path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string FullPath(const std::string &path)
{
    char full[MAX_PATH * 2];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return length > 0 && length < sizeof full ? std::string(full, length) : path;
}

// windows_exporter's textfile folder with our file name, under the 64-bit Program Files
// folder also for the 32-bit build (whose %ProgramFiles% names the x86 one).
std::string DefaultOutput()
{
    char folder[MAX_PATH] = "";
    DWORD length = GetEnvironmentVariableA("ProgramW6432", folder, sizeof folder);
    if (length == 0 || length >= sizeof folder)
        length = GetEnvironmentVariableA("ProgramFiles", folder, sizeof folder);
    std::string programFiles = length > 0 && length < sizeof folder ? folder : "C:\\Program Files";
    return programFiles + "\\" + kTextfileFolder + "\\" + kTextfileName;
}

// A SID's account name ("BUILTIN\Users"), or its string form when it has none.
std::string SidName(PSID sid)
{
    char name[256], domain[256];
    DWORD nameLength = sizeof name, domainLength = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, name, &nameLength, domain, &domainLength, &use))
        return *domain ? std::string(domain) + "\\" + name : std::string(name);
    char *text = nullptr;
    std::string result = "an unknown account";
    if (ConvertSidToStringSidA(sid, &text)) {
        result = text;
        LocalFree(text);
    }
    return result;
}

// The accounts that may change the folder the service writes to: SYSTEM, the Administrators,
// TrustedInstaller, and the account this process runs as (LocalSystem for the service).
class TrustedAccounts {
public:
    TrustedAccounts()
    {
        const WELL_KNOWN_SID_TYPE known[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
        for (WELL_KNOWN_SID_TYPE type : known) {
            std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
            DWORD size = (DWORD)sid.size();
            if (CreateWellKnownSid(type, nullptr, sid.data(), &size))
                sids_.push_back(sid);
        }
        PSID installer = nullptr;
        if (ConvertStringSidToSidA(kTrustedInstallerSid, &installer)) {
            BYTE *bytes = (BYTE *)installer;
            sids_.emplace_back(bytes, bytes + GetLengthSid(installer));
            LocalFree(installer);
        }
        HANDLE token;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            std::vector<BYTE> user(512);
            DWORD size = 0;
            if (GetTokenInformation(token, TokenUser, user.data(), (DWORD)user.size(), &size)) {
                PSID sid = ((TOKEN_USER *)user.data())->User.Sid;
                BYTE *bytes = (BYTE *)sid;
                sids_.emplace_back(bytes, bytes + GetLengthSid(sid));
            }
            CloseHandle(token);
        }
    }

    bool Trusts(PSID sid) const
    {
        for (const std::vector<BYTE> &trusted : sids_)
            if (EqualSid(sid, (PSID)trusted.data()))
                return true;
        return false;
    }

private:
    std::vector<std::vector<BYTE>> sids_;
};

// Why accounts other than the administrators could change `folder` (put a file of their own
// where a privileged writer writes, or change who may), or "" when only they can. A folder
// that cannot be inspected counts as changeable.
std::string FolderProblem(const std::string &folder)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD rc = GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl,
                                     nullptr, &descriptor);
    if (rc != ERROR_SUCCESS)
        return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND
                   ? "the folder " + folder + " does not exist"
                   : "the access control list of " + folder + " cannot be read (" + ErrorText(rc) + ")";
    TrustedAccounts trusted;
    std::string problem;
    if (!dacl)
        problem = "the folder " + folder + " has no access control list, so everyone may change it";
    else if (owner && !trusted.Trusts(owner))
        problem = "the folder " + folder + " belongs to " + SidName(owner) + ", who may change its access";
    for (DWORD i = 0; dacl && problem.empty() && i < dacl->AceCount; ++i) {
        ACE_HEADER *ace = nullptr;
        if (!GetAce(dacl, i, (void **)&ace))
            continue;
        // An entry only for what is created inside grants nothing on the folder itself.
        if (ace->AceFlags & INHERIT_ONLY_ACE)
            continue;
        if (ace->AceType == ACCESS_DENIED_ACE_TYPE || ace->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE ||
            ace->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE || ace->AceType == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE)
            continue;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            problem = "the folder " + folder + " has an access entry of a kind the service does not judge";
            break;
        }
        ACCESS_ALLOWED_ACE *allowed = (ACCESS_ALLOWED_ACE *)ace;
        PSID sid = (PSID)&allowed->SidStart;
        if ((allowed->Mask & kFolderWriteRights) && !trusted.Trusts(sid))
            problem = "the access control list of " + folder + " lets " + SidName(sid) + " change it";
    }
    LocalFree(descriptor);
    return problem;
}

// ---- The service ---------------------------------------------------------------------------

// What the service was started with, and its state shared with the control handler.
struct ServiceState {
    Options options;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    CRITICAL_SECTION lock;
    HANDLE stopEvent = nullptr;
    volatile sig_atomic_t stopping = 0;
    HANDLE eventSource = nullptr;
};

ServiceState g_service;

// Tells the service manager the service's state.
void ReportState(DWORD state, DWORD exitCode, DWORD waitHint)
{
    EnterCriticalSection(&g_service.lock);
    SERVICE_STATUS &status = g_service.status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = waitHint;
    status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : status.dwCheckPoint + 1;
    SetServiceStatus(g_service.handle, &status);
    LeaveCriticalSection(&g_service.lock);
}

// Stop and shutdown: the reading under way ends after the export call it is in.
DWORD WINAPI OnControl(DWORD control, DWORD, void *, void *)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        g_service.stopping = 1;
        ReportState(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
        SetEvent(g_service.stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Writes one event under the source Kovaltherm, its type taken from the message's severity.
void Report(DWORD id, const std::vector<std::string> &inserts)
{
    if (!g_service.eventSource)
        return;
    WORD type = (id >> 30) == STATUS_SEVERITY_ERROR     ? EVENTLOG_ERROR_TYPE
                : (id >> 30) == STATUS_SEVERITY_WARNING ? EVENTLOG_WARNING_TYPE
                                                        : EVENTLOG_INFORMATION_TYPE;
    std::vector<const char *> strings;
    for (const std::string &insert : inserts)
        strings.push_back(insert.c_str());
    ReportEventA(g_service.eventSource, type, 0, id, nullptr, (WORD)strings.size(), 0,
                 strings.empty() ? nullptr : strings.data(), nullptr);
}

std::string Seconds(double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%g", seconds);
    return text;
}

// What the service remembers between readings, so that it reports each change once.
struct Memory {
    bool failing = false;           // the last reading failed (or none succeeded yet)
    bool firstReading = true;
    std::string outputProblem;      // why the last write failed; "" when it went well
    std::vector<int> statuses;      // each ordinal's last status; the service starts from normal
};

// Reports readings that start or stop failing.
void ReportHealth(const Reading &reading, const std::string &loadProblem, Memory *memory)
{
    bool failing = !ReadingSucceeded(reading);
    if (failing && (!memory->failing || memory->firstReading)) {
        std::string why = loadProblem;
        if (why.empty() && reading.sensorCount <= 0)
            why = "no sensors: no thermal support, or the sensor cache could not be read";
        if (why.empty()) {
            std::vector<std::string> failed = FailedCalls(reading);
            why = std::to_string(failed.size()) + " calls failed:";
            for (size_t i = 0; i < failed.size() && i < 6; ++i)
                why += " " + failed[i];
        }
        Report(MSG_READINGS_FAILING, {why, Seconds(g_service.options.watchSeconds)});
    } else if (!failing && memory->failing && !memory->firstReading)
        Report(MSG_READINGS_RECOVERED, {std::to_string(reading.sensorCount)});
    memory->failing = failing;
    memory->firstReading = false;
}

// Reports each sensor whose status moved between normal, warning and critical. A reading
// without a status (no temperature, no limits) changes nothing: the failing readings say so.
void ReportStatusChanges(const Reading &reading, Memory *memory)
{
    for (const SensorReading &s : reading.sensors) {
        if (!s.status.ok || s.status.value < KOVALTHERM_STATUS_NORMAL || s.status.value > KOVALTHERM_STATUS_CRITICAL)
            continue;
        if ((size_t)s.ordinal >= memory->statuses.size())
            memory->statuses.resize(s.ordinal + 1, KOVALTHERM_STATUS_NORMAL);
        int &last = memory->statuses[s.ordinal];
        if (s.status.value == last)
            continue;
        const DWORD ids[] = {MSG_STATUS_NORMAL, MSG_STATUS_WARNING, MSG_STATUS_CRITICAL};
        auto value = [](const Call &call) { return call.ok ? std::to_string(call.value) : std::string("unreadable"); };
        Report(ids[s.status.value - KOVALTHERM_STATUS_NORMAL],
               {std::to_string(s.ordinal), value(s.location), value(s.temperature), StatusName(last),
                value(s.warningLimit), value(s.criticalLimit)});
        last = s.status.value;
    }
}

// Writes the reading to the service's file, after making sure that only administrators can
// change its folder; reports when writing starts or stops failing.
void WriteReading(Backend &backend, const Reading &reading, Memory *memory)
{
    const std::string &path = g_service.options.output;
    std::string problem = FolderProblem(FolderOf(path));
    if (!problem.empty())
        problem += ": a service running as LocalSystem writes only where standard users cannot; "
                   "allow only SYSTEM and the Administrators to change the folder";
    else
        backend.output->SaveAtomically(path, FormatPrometheus(reading), &problem);
    if (!problem.empty() && problem != memory->outputProblem)
        Report(MSG_OUTPUT_REFUSED, {path, problem});
    else if (problem.empty() && !memory->outputProblem.empty())
        Report(MSG_OUTPUT_WRITTEN, {path});
    memory->outputProblem = problem;
}

// The service's work until it is told to stop: a reading every interval, the library loaded
// again after a failed reading (the driver may have started, or restarted, since).
void ServiceLoop(Backend &backend, const SimConfig *scenario)
{
    const Options &options = g_service.options;
    const ULONGLONG intervalMs = (ULONGLONG)(options.watchSeconds * 1000 + 0.5);
    Memory memory;
    bool loaded = false;
    for (uint64_t number = 1; !g_service.stopping; ++number) {
        ULONGLONG started = GetTickCount64();
        std::string loadProblem;
        if (!loaded)
            loaded = backend.library->Start(scenario, false, &loadProblem) == Outcome::Ok;
        if (!loaded)
            backend.library->Stop();
        Reading reading = loaded ? TakeReading(backend.library->Functions(), *backend.clock, number, &g_service.stopping)
                                 : UnloadedReading(*backend.clock, number);
        if (g_service.stopping)
            break;
        ReportHealth(reading, loadProblem, &memory);
        ReportStatusChanges(reading, &memory);
        WriteReading(backend, reading, &memory);
        if (loaded && !ReadingSucceeded(reading)) {
            backend.library->Stop();
            loaded = false;
        }
        ULONGLONG elapsed = GetTickCount64() - started;
        if (elapsed < intervalMs)
            WaitForSingleObject(g_service.stopEvent, (DWORD)(intervalMs - elapsed));
    }
    backend.library->Stop();
    // Nothing is read any more: the file says so rather than keeping the last reading.
    WriteReading(backend, UnloadedReading(*backend.clock, 0), &memory);
}

void WINAPI ServiceMain(DWORD, char **)
{
    g_service.handle = RegisterServiceCtrlHandlerExA(kServiceName, OnControl, nullptr);
    if (!g_service.handle)
        return;
    ReportState(SERVICE_START_PENDING, NO_ERROR, kStartWaitHintMs);
    g_service.stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_service.eventSource = RegisterEventSourceA(nullptr, kServiceName);
    const Options &options = g_service.options;
    SimConfig scenario;
    std::string error;
    if (!options.scenario.empty() && !LoadScenarioFile(options.scenario, &scenario, &error)) {
        Report(MSG_READINGS_FAILING, {"scenario " + error, Seconds(options.watchSeconds)});
        ReportState(SERVICE_STOPPED, ERROR_BAD_CONFIGURATION, 0);
        return;
    }
    ReportState(SERVICE_RUNNING, NO_ERROR, 0);
    Report(MSG_SERVICE_STARTED, {Seconds(options.watchSeconds), options.output});
    std::unique_ptr<Backend> backend = MakeBackend();
    ServiceLoop(*backend, options.scenario.empty() ? nullptr : &scenario);
    backend.reset();
    Report(MSG_SERVICE_STOPPED, {options.output});
    if (g_service.eventSource)
        DeregisterEventSource(g_service.eventSource);
    ReportState(SERVICE_STOPPED, NO_ERROR, 0);
}

int RunAsService(const Options &options)
{
    g_service.options = options;
    if (g_service.options.output.empty())
        g_service.options.output = DefaultOutput();
    InitializeCriticalSection(&g_service.lock);
    char name[64];
    lstrcpynA(name, kServiceName, sizeof name);
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(table))
        return 0;
    DWORD code = GetLastError();
    if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        return Complain(2, "--service is run by the service manager; install the service with --install-service");
    return Complain(1, "cannot start the service (" + ErrorText(code) + ")");
}

// ---- Install and uninstall -----------------------------------------------------------------

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

int Install(const Options &options)
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
    std::string command = Quoted(exe) + " --service --watch " + Seconds(options.watchSeconds) + " --output " +
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
           kServiceName, Seconds(options.watchSeconds).c_str(), output.c_str());
    if (missing)
        printf("note: %s does not exist yet; the service writes there once it does\n", FolderOf(output).c_str());
    if (!ok)
        return Complain(1, "the service is installed but did not start (" + ErrorText(code) + ")");
    return 0;
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

int Uninstall()
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

} // namespace

int RunServiceCommand(const Options &options)
{
    switch (options.service) {
    case ServiceCommand::Install: return Install(options);
    case ServiceCommand::Uninstall: return Uninstall();
    case ServiceCommand::Run: return RunAsService(options);
    case ServiceCommand::None: break;
    }
    return 2;
}

} // namespace ktsensors
