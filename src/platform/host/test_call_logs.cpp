// Test controls: the records of what the library asked of the stand-in (CreateFileA calls,
// registry opens, mutex calls and events, timer periods, waits, debugger strings) and the
// notebook's request log. Each record keeps a bounded number of entries and its room across
// resets, so that a fuzzer resetting the machine per input allocates nothing once warm.
#include <mutex>

#include "platform/host/host_internal.h"
#include "platform/host/test_controls.h"

namespace host {

namespace {

std::vector<CreateFileCall> g_createCalls;

// The open and create calls since the last reset, kept in a fixed log: a long-running test or
// a fuzzer would otherwise grow it, and allocate, on every call. Later calls are not recorded.
struct OpenLogEntry {
    HostFunction function;
    char subKey[128];
    REGSAM access;
};
const int kOpenLogSize = 4096;
OpenLogEntry g_openLog[kOpenLogSize];
int g_openLogCount;

// The mutex calls since the last reset are the first `g_mutexCallCount`; the slots after
// them keep their strings' room for the next calls.
std::vector<MutexCall> g_mutexCalls;
size_t g_mutexCallCount = 0;

// Mutex events as kept: the name as an index into the names seen so far, so that recording
// one copies no string (a fuzzing run takes a mutex on every call).
struct EventRecord {
    size_t name;
    bool acquired;
    uint32_t requests;
};
std::vector<EventRecord> g_events;
std::vector<std::string> g_eventNames; // never shrinks: a process names only a few mutexes
// At most this many events are kept between resets: a long run takes a mutex on every call.
const size_t kMaxEvents = 16384;

TimerPeriods g_periodCalls;

std::vector<Wait> g_waits;
// At most this many waits are kept between clears: a long run on the virtual clock waits on
// every read.
const size_t kMaxWaits = 16384;

// Debugger strings have a lock of their own: OutputDebugStringA takes no stand-in lock.
std::mutex g_debugMutex;
std::vector<std::string> g_debugStrings;
// At most this many strings are kept between clears: a traced run may go on for days.
const size_t kMaxDebugStrings = 4096;

void RecordCreateFile(const char *path, DWORD access, DWORD share, bool securityAttributes,
                      DWORD disposition, DWORD flags, bool templateFile)
{
    g_createCalls.push_back(
        CreateFileCall{path, access, share, securityAttributes, disposition, flags, templateFile});
}

void RecordRegistryOpen(HostFunction function, const char *subKey, REGSAM access)
{
    if (g_openLogCount >= kOpenLogSize)
        return;
    OpenLogEntry &entry = g_openLog[g_openLogCount++];
    entry.function = function;
    entry.access = access;
    size_t i = 0;
    for (; subKey && subKey[i] && i + 1 < sizeof entry.subKey; ++i)
        entry.subKey[i] = subKey[i];
    entry.subKey[i] = '\0';
}

MutexCall *NextMutexCall()
{
    if (g_mutexCallCount == g_mutexCalls.size())
        g_mutexCalls.emplace_back();
    return &g_mutexCalls[g_mutexCallCount++];
}

void RecordMutexEvent(const std::string &name, bool acquired, uint32_t requests)
{
    if (g_events.size() >= kMaxEvents)
        return;
    size_t index = 0;
    while (index < g_eventNames.size() && g_eventNames[index] != name)
        ++index;
    if (index == g_eventNames.size())
        g_eventNames.push_back(name);
    g_events.push_back(EventRecord{index, acquired, requests});
}

void RecordTimerPeriod(internal::TimerPeriodCall call)
{
    switch (call) {
    case internal::TimerPeriodCall::Begin: ++g_periodCalls.begins; break;
    case internal::TimerPeriodCall::Granted: ++g_periodCalls.granted; break;
    case internal::TimerPeriodCall::End: ++g_periodCalls.ends; break;
    }
}

void RecordWait(const Wait &wait)
{
    if (g_waits.size() < kMaxWaits)
        g_waits.push_back(wait);
}

void RecordDebugString(const char *text)
{
    std::lock_guard<std::mutex> guard(g_debugMutex);
    if (g_debugStrings.size() < kMaxDebugStrings)
        g_debugStrings.push_back(text);
}

void ResetRegistryLog() { g_openLogCount = 0; }

// On ResetMachine: every record empty, its room kept.
void ResetLogs()
{
    g_createCalls.clear();
    ResetRegistryLog();
    g_mutexCallCount = 0;
    g_events.clear();
    g_periodCalls = TimerPeriods{};
    g_waits.clear();
    ClearDebugStrings();
}

// Sets the hooks as the program starts.
struct Install {
    Install()
    {
        internal::TestHooks &hooks = internal::g_testHooks;
        hooks.createFile = RecordCreateFile;
        hooks.registryOpen = RecordRegistryOpen;
        hooks.mutexCall = NextMutexCall;
        hooks.mutexEvent = RecordMutexEvent;
        hooks.timerPeriod = RecordTimerPeriod;
        hooks.wait = RecordWait;
        hooks.debugString = RecordDebugString;
        hooks.resetLogs = ResetLogs;
        hooks.resetRegistryLog = ResetRegistryLog;
    }
} g_install;

} // namespace

std::vector<CreateFileCall> CreateFileCalls()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return g_createCalls;
}

std::vector<RegistryOpenCall> RegistryOpenCalls()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    std::vector<RegistryOpenCall> calls;
    for (int i = 0; i < g_openLogCount; ++i)
        calls.push_back({g_openLog[i].function, g_openLog[i].subKey, g_openLog[i].access});
    return calls;
}

std::vector<MutexCall> MutexCalls()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return std::vector<MutexCall>(g_mutexCalls.begin(), g_mutexCalls.begin() + (ptrdiff_t)g_mutexCallCount);
}

std::vector<MutexEvent> MutexEvents()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    std::vector<MutexEvent> events;
    for (const EventRecord &e : g_events)
        events.push_back(MutexEvent{g_eventNames[e.name], e.acquired, e.requests});
    return events;
}

TimerPeriods TimerPeriodCalls()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    TimerPeriods calls = g_periodCalls;
    calls.raised = internal::RaisedTimerPeriods();
    return calls;
}

std::vector<Wait> Waits()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return g_waits;
}

void ClearWaits()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    g_waits.clear();
}

std::vector<std::string> DebugStrings()
{
    std::lock_guard<std::mutex> guard(g_debugMutex);
    return g_debugStrings;
}

void ClearDebugStrings()
{
    std::lock_guard<std::mutex> guard(g_debugMutex);
    g_debugStrings.clear();
}

std::vector<SimLogEntry> RequestLog()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    const SimLog &log = internal::Notebook().log;
    uint32_t kept = log.total < SIM_LOG_CAPACITY ? log.total : SIM_LOG_CAPACITY;
    return std::vector<SimLogEntry>(log.entries, log.entries + kept);
}

void ClearRequestLog()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    internal::Notebook().log.total = 0;
}

} // namespace host
