// ktsensors.exe --service, as the service manager runs it: a reading every interval through
// the reading loop every mode uses, written as Prometheus text for windows_exporter's
// textfile collector, and an event for each change worth telling. With --listen, http.sys
// answers scrapes from the latest reading's pages, which the loop publishes: a scrape never
// reaches the controller.
#include <windows.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "deadline.h"
#include "error_text_windows.h"
#include "folder_check_windows.h"
#include "folder_rules.h"
#include "formats.h"
#include "interval_rules.h"
#include "listen.h"
#include "messages.h"
#include "readings.h"
#include "replace_in_folder_windows.h"
#include "run.h"
#include "scenario.h"
#include "service.h"
#include "service_rules.h"
#include "service_windows.h"
#include "tool.h"
#include "wide_windows.h"

namespace ktsensors {

namespace {

// A call to the library can wait 40 s for its lock: a stop still waiting kStopAbandonMs after
// the request is abandoned (the file written, SERVICE_STOPPED reported, the process ended), a
// second before the bound, for the last write and the report.
const DWORD kStopAbandonMs = kServiceStopBoundMs - 1000;
// Meanwhile the checkpoint rises every kStopTickMs, well within each wait hint.
const DWORD kStopTickMs = 1000;
const DWORD kStopWaitHintMs = 3000;
const DWORD kStartWaitHintMs = 5000;
// How long an abandoning stop waits for a write under way before it writes its own.
const DWORD kLastWriteWaitMs = 1000;
// How long the end of the service waits for the server to answer what is waiting and close:
// its own grace, and as much again for a loaded machine.
const DWORD kServerStopWaitMs = 2 * (DWORD)kStopGrace.count();

// The pages scrapes get, by the formats' table's rows: the latest reading's, replaced whole.
using PageSet = std::shared_ptr<const std::vector<std::string>>;

// How long the service waits before it tries its --listen address again, after it could not
// listen there (another program holds the port) or its server failed.
const DWORD kListenRetryMs = 5000;

// What the service was started with, and its state shared with the control handler and the
// stop's watchdog.
struct ServiceState {
    Options options;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    CRITICAL_SECTION lock;
    HANDLE stopEvent = nullptr;
    HANDLE writeLock = nullptr; // one writer of the file at a time: the loop, or the watchdog
    volatile sig_atomic_t stopping = 0;
    HANDLE eventSource = nullptr;
    MachineClock *clock = nullptr;
    Deadline stopDeadline;
    CRITICAL_SECTION pagesLock;
    PageSet pages;
    volatile LONG listening = 0; // with --listen: 1 while the server answers at its address
};

ServiceState g_service;

// Tells the service manager the service's state; a pending state's checkpoint rises each time.
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

// Writes one event under the source Kovaltherm, its type taken from the message's severity.
void Report(DWORD id, const std::vector<std::string> &inserts)
{
    if (!g_service.eventSource)
        return;
    WORD type = (id >> 30) == STATUS_SEVERITY_ERROR     ? EVENTLOG_ERROR_TYPE
                : (id >> 30) == STATUS_SEVERITY_WARNING ? EVENTLOG_WARNING_TYPE
                                                        : EVENTLOG_INFORMATION_TYPE;
    std::vector<std::wstring> wide;
    for (const std::string &insert : inserts)
        wide.push_back(Wide(insert));
    std::vector<const wchar_t *> strings;
    for (const std::wstring &insert : wide)
        strings.push_back(insert.c_str());
    ReportEventW(g_service.eventSource, type, 0, id, nullptr, (WORD)strings.size(), 0,
                 strings.empty() ? nullptr : strings.data(), nullptr);
}

// What the service remembers between readings, so that it reports each change once.
struct Memory {
    bool failing = false;           // the last reading failed (or none succeeded yet)
    bool firstReading = true;
    std::string outputProblem;      // why the last write failed; "" when it went well
    std::vector<int> statuses;      // each ordinal's last status; the service starts from normal
};

// Writes `text` to the service's file in its folder, opened from the drive's root and checked
// on the way; "" or why it was not written.
std::string WriteTextfile(const std::string &text)
{
    const std::string &path = g_service.options.output;
    std::string problem;
    HANDLE folder = OpenCheckedFolder(FolderOf(path), &problem);
    if (!folder)
        return problem + ": a service running as LocalSystem writes only where standard users cannot; allow only "
                         "SYSTEM and the Administrators to change the folder and every folder above it";
    if (!ReplaceInFolder(folder, NameOf(path), text, &problem))
        problem = "cannot write it (" + problem + ")";
    CloseHandle(folder);
    return problem;
}

// The stop's last words when it abandons a call: the file says kovaltherm_up 0 (after a
// write under way, if one is), the event says why, and the service manager hears that the
// service stopped, so that it counts no failure and restarts nothing.
void AbandonStop()
{
    if (WaitForSingleObject(g_service.writeLock, kLastWriteWaitMs) != WAIT_TIMEOUT)
        WriteTextfile(g_service.options.format->render(UnloadedReading(*g_service.clock, 0), RenderOptions{}));
    Report(MSG_SERVICE_STOPPED_ABANDONING, {SecondsText(kStopAbandonMs / 1000.0), g_service.options.output});
    if (g_service.eventSource)
        DeregisterEventSource(g_service.eventSource);
    ReportState(SERVICE_STOPPED, NO_ERROR, 0);
}

// Stop and shutdown: the reading under way ends before its next export call, and the watchdog
// ends a call that is still waiting at the bound.
DWORD WINAPI OnControl(DWORD control, DWORD, void *, void *)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        if (g_service.stopping)
            return NO_ERROR;
        g_service.stopping = 1;
        ReportState(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
        g_service.stopDeadline.Arm(kStopAbandonMs, NO_ERROR, AbandonStop, kStopTickMs,
                                   [] { ReportState(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs); });
        SetEvent(g_service.stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Reports readings that start or stop failing: why the library did not start, else the
// reading's failures as every mode sums them up.
void ReportHealth(const Reading &reading, const std::string &startProblem, Memory *memory)
{
    bool failing = !ReadingSucceeded(reading);
    if (failing && (!memory->failing || memory->firstReading)) {
        RunFailures failures;
        failures.Add(reading);
        std::string why = startProblem.empty() ? failures.Summary() : startProblem;
        Report(MSG_READINGS_FAILING, {why, SecondsText(g_service.options.watchSeconds)});
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

// Makes the reading's pages the ones scrapes get; `written` is its page in the file's format.
void Publish(const Reading &reading, const std::string &written)
{
    if (!g_service.options.listen)
        return;
    auto pages = std::make_shared<std::vector<std::string>>(kFormatCount);
    for (size_t row = 0; row < kFormatCount; ++row)
        if (*kFormats[row].path)
            (*pages)[row] = &kFormats[row] == g_service.options.format ? written
                                                                        : kFormats[row].render(reading, RenderOptions{});
    EnterCriticalSection(&g_service.pagesLock);
    g_service.pages = std::move(pages);
    LeaveCriticalSection(&g_service.pagesLock);
}

// The latest reading's page in `format`, for a scrape.
std::string LatestPage(const Format &format, ReadingSource::Clock::time_point)
{
    EnterCriticalSection(&g_service.pagesLock);
    PageSet pages = g_service.pages;
    LeaveCriticalSection(&g_service.pagesLock);
    return (*pages)[&format - kFormats];
}

// Answers scrapes at --listen's address until the service stops. While it cannot (another
// program holds the port) it tries again every kListenRetryMs, so that the port is the service's
// as soon as it is free; each change between answering and not is an event (where, or why not)
// and kovaltherm_service_listening in the file. The service writes its file either way.
DWORD WINAPI ServeScrapes(void *)
{
    const Options &options = g_service.options;
    std::string address = ListenAddress(options.listenHost, options.listenPort);
    bool reported = false; // whether the present state has been reported
    while (!g_service.stopping) {
        std::string error;
        Served served = ServePages(
            options.listenHost, options.listenPort, LatestPage, &g_service.stopping, g_service.stopEvent,
            [&](const std::string &url) {
                if (!InterlockedExchange(&g_service.listening, 1) || !reported)
                    Report(MSG_LISTENING, {url});
                reported = true;
            },
            [](const std::string &) {}, &error);
        if (served != Served::Failed || g_service.stopping)
            break;
        if (InterlockedExchange(&g_service.listening, 0) || !reported)
            Report(MSG_LISTEN_FAILED,
                   {address, error, "It tries again every " + SecondsText(kListenRetryMs / 1000.0) + " seconds. ",
                    options.output});
        reported = true;
        WaitForSingleObject(g_service.stopEvent, kListenRetryMs);
    }
    return 0;
}

// With --listen, the textfile's lines that tell whether the service answers scrapes, so that an
// alert can fire while another program holds its port.
std::string ListeningMetric()
{
    if (!g_service.options.listen || strcmp(g_service.options.format->name, "prometheus") != 0)
        return "";
    return "# HELP kovaltherm_service_listening 1 while the service answers scrapes at its --listen address, 0 "
           "while it cannot (another program holds the port); it tries again every " +
           SecondsText(kListenRetryMs / 1000.0) + " s.\n# TYPE kovaltherm_service_listening gauge\n" +
           "kovaltherm_service_listening " + (g_service.listening ? "1" : "0") + "\n";
}

// Writes the reading to the service's file and publishes it for scrapes; reports when
// writing starts or stops failing.
void WriteReading(const Reading &reading, Memory *memory)
{
    const std::string &path = g_service.options.output;
    std::string page = g_service.options.format->render(reading, RenderOptions{});
    Publish(reading, page);
    WaitForSingleObject(g_service.writeLock, INFINITE);
    std::string problem = WriteTextfile(page + ListeningMetric());
    ReleaseMutex(g_service.writeLock);
    if (!problem.empty() && problem != memory->outputProblem)
        Report(MSG_OUTPUT_REFUSED, {path, problem});
    else if (problem.empty() && !memory->outputProblem.empty())
        Report(MSG_OUTPUT_WRITTEN, {path});
    memory->outputProblem = problem;
}

// The service's work until it is told to stop: a reading every interval, the library
// started again after a failed reading (the driver may have started, or restarted, since).
void ServiceLoop(Backend &backend)
{
    const Options &options = g_service.options;
    Schedule schedule;
    schedule.count = 0;
    schedule.intervalMs = KtIntervalMs(options.watchSeconds);
    schedule.stop = &g_service.stopping;
    schedule.pause = [](uint64_t ms) { WaitForSingleObject(g_service.stopEvent, (DWORD)ms); };
    schedule.restart = true;
    // The sensor configuration, read again before each reading, only where only administrators
    // can change it; a change of its problem is an event.
    OwnerSettings owner(options.config, true);
    owner.report = [&owner](const std::string &problem) {
        if (problem.empty())
            Report(MSG_CONFIG_APPLIED, {owner.source.Path()});
        else
            Report(MSG_CONFIG_REFUSED, {problem});
    };
    schedule.owner = &owner;
    Memory memory;
    ReadingLoop(backend, options, schedule, [&](const Reading &reading, const std::string &startProblem) {
        ReportHealth(reading, startProblem, &memory);
        ReportStatusChanges(reading, &memory);
        WriteReading(reading, &memory);
        return true;
    });
    // Nothing is read any more: the file says so rather than keeping the last reading.
    WriteReading(UnloadedReading(*backend.clock, 0), &memory);
}

void WINAPI ServiceMain(DWORD, wchar_t **)
{
    g_service.handle = RegisterServiceCtrlHandlerExW(KT_SERVICE_NAME, OnControl, nullptr);
    if (!g_service.handle)
        return;
    ReportState(SERVICE_START_PENDING, NO_ERROR, kStartWaitHintMs);
    g_service.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_service.writeLock = CreateMutexW(nullptr, FALSE, nullptr);
    g_service.eventSource = RegisterEventSourceW(nullptr, KT_SERVICE_NAME);
    const Options &options = g_service.options;
    // A scenario that cannot be read never will be: the service stops at once.
    SimConfig scenario;
    std::string error;
    if (!options.scenario.empty() && !LoadScenarioFile(options.scenario, &scenario, &error)) {
        Report(MSG_READINGS_FAILING, {"scenario " + error, SecondsText(options.watchSeconds)});
        ReportState(SERVICE_STOPPED, ERROR_BAD_CONFIGURATION, 0);
        return;
    }
    std::unique_ptr<Backend> backend = MakeBackend();
    g_service.clock = backend->clock.get();
    // Until the first reading, a scrape gets what a reading without the library says.
    Reading none = UnloadedReading(*g_service.clock, 0);
    Publish(none, g_service.options.format->render(none, RenderOptions{}));
    ReportState(SERVICE_RUNNING, NO_ERROR, 0);
    Report(MSG_SERVICE_STARTED, {SecondsText(options.watchSeconds), options.output});
    HANDLE server = options.listen ? CreateThread(nullptr, 0, ServeScrapes, nullptr, 0, nullptr) : nullptr;
    if (options.listen && !server)
        Report(MSG_LISTEN_FAILED, {ListenAddress(options.listenHost, options.listenPort),
                                   "cannot start its thread: " + ErrorText(GetLastError()), "", options.output});
    ServiceLoop(*backend);
    // The server wakes at the stop event and answers 503 to what is still waiting.
    if (server) {
        WaitForSingleObject(server, kServerStopWaitMs);
        CloseHandle(server);
    }
    // The loop has unloaded the library and written the file: from here on nothing can wait.
    g_service.stopDeadline.Cancel();
    backend.reset();
    Report(MSG_SERVICE_STOPPED, {options.output});
    if (g_service.eventSource)
        DeregisterEventSource(g_service.eventSource);
    ReportState(SERVICE_STOPPED, NO_ERROR, 0);
}

} // namespace

int RunAsService(const Options &options)
{
    g_service.options = options;
    if (g_service.options.output.empty())
        g_service.options.output = DefaultOutput();
    InitializeCriticalSection(&g_service.lock);
    InitializeCriticalSection(&g_service.pagesLock);
    wchar_t name[] = KT_SERVICE_NAME;
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table))
        return 0;
    DWORD code = GetLastError();
    if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        return Complain(2, "--service is run by the service manager; install the service with --install-service");
    return Complain(1, "cannot start the service (" + ErrorText(code) + ")");
}

int RunServiceCommand(const Options &options)
{
    switch (options.service) {
    case ServiceCommand::Install: return InstallService(options);
    case ServiceCommand::Uninstall: return UninstallService();
    case ServiceCommand::Run: return RunAsService(options);
    case ServiceCommand::None: break;
    }
    return 2;
}

} // namespace ktsensors
