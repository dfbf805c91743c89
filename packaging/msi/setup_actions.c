// KovalthermSetup.dll: the custom actions of the Kovaltherm installer, for what its tables
// cannot say or Wine's installer does not do. The deferred ones run as LocalSystem; all write
// what they did, or why they refused, to the installer's log.
// The service's URL reservation, its interval, its address as ktsensors --listen parses it, its
// name, command line, restarts and textfile rules, as ktsensors.exe --install-service has them
// (client/).
#include "url_reservation_windows.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "interval_rules.h"
#include "listen_rules.h"
#include "service_rules.h"

// How long an install or removal waits for the service to stop.
static const DWORD kServiceStopMs = 60000;
// How long it tries to delete the textfile while another program (the collector) has it open.
static const DWORD kDeleteRetryMs = 5000;
static const DWORD kPollMs = 100;
// What the service's state is taken as when the service manager cannot be asked.
static const DWORD kStateUnknown = 0xFFFFFFFF;
// The service's interval in whole seconds, from a second to the longest --watch allows.
static const DWORD kLongestInterval = KT_INTERVAL_LONGEST_SECONDS;

// Writes one line to the installer's log; `error` also shows it to a user watching the install.
static void Say(MSIHANDLE install, BOOL error, const WCHAR *format, ...)
{
    WCHAR text[1024];
    va_list arguments;
    va_start(arguments, format);
    wvsprintfW(text, format, arguments);
    va_end(arguments);
    // The installer reads the text as a template: each bracket (an IPv6 address) is escaped as
    // [\[] or [\]], so that it is kept rather than read as a property.
    WCHAR escaped[4 * 1024];
    int at = 0;
    for (const WCHAR *c = text; *c && at < (int)(sizeof escaped / sizeof *escaped) - 5; ++c) {
        if (*c == L'[' || *c == L']') {
            escaped[at++] = L'[';
            escaped[at++] = L'\\';
            escaped[at++] = *c;
            escaped[at++] = L']';
        } else
            escaped[at++] = *c;
    }
    escaped[at] = 0;
    MSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringW(record, 0, escaped);
    MsiProcessMessage(install, error ? (INSTALLMESSAGE)(INSTALLMESSAGE_ERROR | MB_OK) : INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// The property `name`, or "" when it is unset or longer than `size` characters.
static void GetProperty(MSIHANDLE install, const WCHAR *name, WCHAR *value, DWORD size)
{
    DWORD length = size;
    if (MsiGetPropertyW(install, name, value, &length) != ERROR_SUCCESS)
        value[0] = 0;
}

// LISTEN's value that leaves the service without a server.
static const WCHAR kNoListen[] = L"none";

// The http.sys URL of LISTEN's value `listen`, in `url` (`size` characters); FALSE when it is
// "none", or not an address the service takes (an ADDR:PORT of --listen, with a port).
static BOOL ListenUrl(const WCHAR *listen, WCHAR *url, int size)
{
    char text[KT_LISTEN_HOST_MAX + 8], host[KT_LISTEN_HOST_MAX], narrow[KT_LISTEN_HOST_MAX + 32];
    int port = 0, i;
    for (i = 0; listen[i]; ++i) {
        if (listen[i] > 127 || i + 1 >= (int)sizeof text)
            return FALSE;
        text[i] = (char)listen[i];
    }
    text[i] = 0;
    if (!KtParseListen(text, host, &port) || port == 0)
        return FALSE;
    KtListenUrl(*host ? host : KT_LISTEN_DEFAULT_HOST, port, narrow, sizeof narrow);
    return MultiByteToWideChar(CP_ACP, 0, narrow, -1, url, size) > 0;
}

// Splits CustomActionData's fields, which the installer joins with "|" (no path holds one):
// returns the text after the first, ending the first at it; "" when there is none.
static WCHAR *NextField(WCHAR *field)
{
    WCHAR *bar = wcschr(field, L'|');
    if (!bar)
        return field + wcslen(field);
    *bar = 0;
    return bar + 1;
}

// True when `text` is a whole number of seconds from 1 to kLongestInterval, in digits only.
static BOOL IsInterval(const WCHAR *text)
{
    DWORD seconds = 0;
    int digits = 0;
    for (; text[digits]; ++digits) {
        if (text[digits] < L'0' || text[digits] > L'9' || digits >= 6)
            return FALSE;
        seconds = seconds * 10 + (DWORD)(text[digits] - L'0');
    }
    return digits > 0 && seconds >= 1 && seconds <= kLongestInterval;
}

// Before LaunchConditions: refuses a downgrade and settings the service could not run with,
// with a message the log keeps (Wine's installer logs no launch condition's message in a
// silent install). Returns ERROR_INSTALL_FAILURE when it refuses.
UINT __stdcall CheckSettings(MSIHANDLE install)
{
    WCHAR value[MAX_PATH + 2], message[512], textfile[4 * KT_TEXTFILE_MAX_LENGTH];
    GetProperty(install, L"WIX_DOWNGRADE_DETECTED", value, sizeof value / sizeof *value);
    if (value[0]) {
        GetProperty(install, L"DowngradeMessage", message, sizeof message / sizeof *message);
        Say(install, TRUE, L"Kovaltherm: %s", message);
        return ERROR_INSTALL_FAILURE;
    }
    GetProperty(install, L"INTERVAL", value, sizeof value / sizeof *value);
    if (!IsInterval(value)) {
        Say(install, TRUE, L"Kovaltherm: INTERVAL must be a whole number of seconds from 1 to %lu, not \"%s\"",
            kLongestInterval, value);
        return ERROR_INSTALL_FAILURE;
    }
    // Room for paths well past the longest the service takes, so that those are told so.
    GetProperty(install, L"TEXTFILE", textfile, sizeof textfile / sizeof *textfile);
    enum KtPathProblem problem = KtTextfilePathProblem(textfile);
    const WCHAR *rule = problem != KT_PATH_OK ? KtPathRule(problem) : KtExistingRule(KtWhatIsAt(textfile));
    if (rule) {
        Say(install, TRUE, L"Kovaltherm: TEXTFILE must be a .prom file the service can write (the path %s), not \"%s\"",
            rule, textfile);
        return ERROR_INSTALL_FAILURE;
    }
    GetProperty(install, L"LISTEN", value, sizeof value / sizeof *value);
    if (lstrcmpiW(value, kNoListen) != 0 && !ListenUrl(value, message, sizeof message / sizeof *message)) {
        Say(install, TRUE, L"Kovaltherm: LISTEN must be ADDR:PORT (0.0.0.0:9757, 127.0.0.1:9757, [::]:9757) or %s, not \"%s\"",
            kNoListen, value);
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

// Reserves the URL of LISTEN's value `listen` for the service, after removing the reservation
// of `before` (the last install's) when that differs; FALSE when the reservation failed.
static BOOL ReserveListen(MSIHANDLE install, const WCHAR *before, const WCHAR *listen)
{
    WCHAR url[128], old[128];
    BOOL listening = ListenUrl(listen, url, 128);
    ULONG rc;
    if (ListenUrl(before, old, 128) && (!listening || lstrcmpiW(old, url) != 0)) {
        rc = KtUnreserveUrl(old);
        Say(install, FALSE, L"Kovaltherm: removed the reservation of %s (%lu)", old, rc);
    }
    if (!listening)
        return TRUE;
    rc = KtReserveUrl(url);
    if (rc != NO_ERROR) {
        Say(install, TRUE, L"Kovaltherm: cannot reserve %s for the service %s (error %lu)", url, KT_SERVICE_NAME, rc);
        return FALSE;
    }
    Say(install, FALSE, L"Kovaltherm: reserved %s for the service %s (%s)", url, KT_SERVICE_NAME, KT_SERVICE_URL_SDDL);
    return TRUE;
}

// After InstallServices, with CustomActionData "SAVED_LISTEN|LISTEN|PROGRAM|INTERVAL|TEXTFILE":
// the service's command line (the program's path in quotes, which Wine's installer would not
// write, and the settings of this install, also where the service existed before), its restarts
// after a failure, also after it stopped itself with an error, and its URL reservation (moved
// when LISTEN changed). Returns ERROR_INSTALL_FAILURE when one could not be set.
UINT __stdcall FinishServiceInstall(MSIHANDLE install)
{
    WCHAR data[2 * MAX_PATH + 256], command[2 * MAX_PATH + 320];
    GetProperty(install, L"CustomActionData", data, sizeof data / sizeof *data);
    WCHAR *before = data, *listen = NextField(before), *program = NextField(listen), *interval = NextField(program),
          *textfile = NextField(interval);
    if (!program[0] || !KtServiceCommandLine(command, sizeof command / sizeof *command, program, interval, textfile,
                                             NULL, listen[0] && lstrcmpiW(listen, kNoListen) != 0 ? listen : NULL)) {
        Say(install, TRUE, L"Kovaltherm: no command line for the service %s", KT_SERVICE_NAME);
        return ERROR_INSTALL_FAILURE;
    }
    SC_ACTION actions[sizeof KT_RESTART_DELAYS_MS / sizeof *KT_RESTART_DELAYS_MS];
    for (DWORD i = 0; i < sizeof actions / sizeof *actions; ++i) {
        actions[i].Type = SC_ACTION_RESTART;
        actions[i].Delay = KT_RESTART_DELAYS_MS[i];
    }
    SERVICE_FAILURE_ACTIONSW failure = {KT_FAILURE_RESET_SECONDS, NULL, NULL, sizeof actions / sizeof *actions, actions};
    SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    // Restart actions need the right to start the service as well as to configure it.
    SC_HANDLE service = manager ? OpenServiceW(manager, KT_SERVICE_NAME, SERVICE_CHANGE_CONFIG | SERVICE_START) : NULL;
    BOOL configured = service && ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                      command, NULL, NULL, NULL, NULL, NULL, NULL);
    BOOL ok = configured && ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    DWORD code = GetLastError();
    BOOL flagged = ok && ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
    DWORD flagCode = GetLastError();
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    if (!ok) {
        Say(install, TRUE, L"Kovaltherm: cannot set the %s of the service %s (error %lu)",
            configured ? L"restarts after a failure" : L"command line", KT_SERVICE_NAME, code);
        return ERROR_INSTALL_FAILURE;
    }
    Say(install, FALSE, L"Kovaltherm: the service %s runs %s", KT_SERVICE_NAME, command);
    Say(install, FALSE, L"Kovaltherm: it restarts %lu s, %lu s and %lu s after a failure (count reset after %lu s)",
        KT_RESTART_DELAYS_MS[0] / 1000, KT_RESTART_DELAYS_MS[1] / 1000, KT_RESTART_DELAYS_MS[2] / 1000,
        KT_FAILURE_RESET_SECONDS);
    if (!flagged)
        Say(install, FALSE, L"Kovaltherm: restarts only after a crash, not after an error stop (error %lu)", flagCode);
    return ReserveListen(install, before, listen) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// The service's current state; 0 when it is no longer installed, kStateUnknown when the
// service manager cannot be asked. The service is opened anew each time: an open handle
// would keep a deleted service in the database.
static DWORD ServiceState(void)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
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
static DWORD WaitUntilServiceStopped(void)
{
    ULONGLONG deadline = GetTickCount64() + kServiceStopMs;
    for (;;) {
        DWORD state = ServiceState();
        if (state == 0 || state == SERVICE_STOPPED || GetTickCount64() >= deadline)
            return state;
        Sleep(kPollMs);
    }
}

// Deletes the textfile; a file held open by a reader is tried again for kDeleteRetryMs.
// Returns 0, or the error of the last attempt.
static DWORD DeleteTextfile(const WCHAR *path)
{
    ULONGLONG deadline = GetTickCount64() + kDeleteRetryMs;
    for (;;) {
        if (DeleteFileW(path))
            return 0;
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return 0;
        if ((code != ERROR_SHARING_VIOLATION && code != ERROR_ACCESS_DENIED) || GetTickCount64() >= deadline)
            return code;
        Sleep(kPollMs);
    }
}

// After StopServices and DeleteServices, where the service is removed or (re)installed: waits
// until it has stopped, which Windows Installer does but Wine's does not, so that no running
// service holds the files being replaced, or writes its textfile again; then deletes the
// textfile CustomActionData ("TEXTFILE|LISTEN") names: the service's on a real uninstall (an
// upgrade keeps it), the one it wrote before when TEXTFILE moves it, none otherwise; and on a
// real uninstall removes the reservation of LISTEN's URL.
// Returns ERROR_INSTALL_FAILURE when the service still runs at the bound.
UINT __stdcall FinishServiceStop(MSIHANDLE install)
{
    WCHAR textfile[MAX_PATH + 64], url[128];
    GetProperty(install, L"CustomActionData", textfile, sizeof textfile / sizeof *textfile);
    const WCHAR *listen = NextField(textfile);
    DWORD state = WaitUntilServiceStopped();
    if (state != 0 && state != SERVICE_STOPPED) {
        Say(install, TRUE, L"Kovaltherm: the service %s did not stop within %lu s", KT_SERVICE_NAME, kServiceStopMs / 1000);
        return ERROR_INSTALL_FAILURE;
    }
    if (ListenUrl(listen, url, 128))
        Say(install, FALSE, L"Kovaltherm: removed the reservation of %s (%lu)", url, KtUnreserveUrl(url));
    if (!textfile[0])
        return ERROR_SUCCESS;
    if (KtTextfilePathProblem(textfile) != KT_PATH_OK || KtWhatIsAt(textfile) != KT_EXISTING_OURS) {
        Say(install, FALSE, L"Kovaltherm: not deleting %s, which is not a textfile the service wrote", textfile);
        return ERROR_SUCCESS;
    }
    DWORD code = DeleteTextfile(textfile);
    if (code)
        Say(install, FALSE, L"Kovaltherm: cannot delete %s (error %lu)", textfile, code);
    else
        Say(install, FALSE, L"Kovaltherm: deleted %s", textfile);
    return ERROR_SUCCESS;
}
