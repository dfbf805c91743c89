// The stand-in's machine controls, clock, fault injection and call counts.
#include <errno.h>
#include <sys/prctl.h>
#include <time.h>

#include <atomic>

#include "platform/host/host_internal.h"

namespace host {

namespace {

struct Fault {
    bool armed = false;
    bool persistent = false;
    uint64_t nth = 0;
    uint32_t functions = 0;
    uint64_t calls = 0;
    bool fired = false;
    std::vector<uint8_t> pattern; // when not empty, replaces nth and persistent
};

struct Clock {
    ClockMode mode = ClockMode::Virtual;
    uint64_t virtualMs = 0;
    timespec realStart{};
    uint32_t tickUs = 0;
    std::vector<Wait> waits;
};

SimNotebook g_notebook;
Clock g_clock;
Fault g_fault;
uint64_t g_calls[FN_COUNT];
std::unique_ptr<RegistryStore> g_registry;

const uint64_t kNsPerUs = 1000;
const uint64_t kUsPerMs = 1000;
const uint64_t kNsPerSecond = 1000000000;

uint64_t RealUsSince(const timespec &start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ns = (int64_t)(now.tv_sec - start.tv_sec) * (int64_t)kNsPerSecond +
                 (now.tv_nsec - start.tv_nsec);
    return (uint64_t)ns / kNsPerUs;
}

} // namespace

namespace internal {

std::recursive_mutex &Lock()
{
    static std::recursive_mutex lock;
    return lock;
}

bool CallFails(HostFunction function)
{
    ++g_calls[function];
    if (!g_fault.armed || !(g_fault.functions & (1u << function)))
        return false;
    uint64_t k = g_fault.calls++;
    bool fails;
    if (!g_fault.pattern.empty()) {
        uint64_t bit = k % (g_fault.pattern.size() * 8);
        fails = (g_fault.pattern[bit / 8] >> (bit % 8)) & 1;
    } else {
        fails = g_fault.persistent ? g_fault.calls >= g_fault.nth : g_fault.calls == g_fault.nth;
    }
    if (fails)
        g_fault.fired = true;
    return fails;
}

SimNotebook &Notebook() { return g_notebook; }

uint64_t Now() { return NowUs() / kUsPerMs; }

uint64_t NowUs()
{
    return g_clock.mode == ClockMode::Virtual ? g_clock.virtualMs * kUsPerMs
                                              : RealUsSince(g_clock.realStart);
}

uint64_t WaitEndUs(uint64_t lengthUs, bool ticked)
{
    // The real clock's microseconds are truncated; counting from the next one keeps a wait
    // from ending early by a fraction of a microsecond.
    uint64_t now = NowUs() + (g_clock.mode == ClockMode::Real ? 1 : 0);
    uint64_t tick = ticked ? EffectiveTickUs(g_clock.tickUs) : 0;
    if (!tick)
        return now + lengthUs;
    uint64_t due = now / tick * tick + lengthUs;
    uint64_t end = (due + tick - 1) / tick * tick;
    return end > now ? end : now;
}

bool VirtualWait(uint64_t endUs, DWORD ms, WaitKind kind)
{
    if (g_clock.mode != ClockMode::Virtual)
        return false;
    g_clock.waits.push_back(Wait{g_clock.virtualMs, ms, kind});
    uint64_t endMs = (endUs + kUsPerMs - 1) / kUsPerMs;
    if (endMs > g_clock.virtualMs)
        g_clock.virtualMs = endMs;
    return true;
}

void RealWaitUntil(uint64_t endUs)
{
    // The default timer slack (50 us) would lengthen every 2 ms pause by a few percent;
    // a waitable timer's wait is exact to the microsecond.
    static thread_local bool slackSet = false;
    if (!slackSet) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        slackSet = true;
    }
    timespec start;
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        start = g_clock.realStart;
    }
    uint64_t ns = (uint64_t)start.tv_nsec + endUs * kNsPerUs;
    timespec end{start.tv_sec + (time_t)(ns / kNsPerSecond), (long)(ns % kNsPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
    }
}

} // namespace internal

using internal::Lock;

void ResetMachine()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    internal::ResetKernel();
    internal::ResetTimers();
    internal::ResetRegistryHandles();
    g_registry = MakeMemoryRegistry();
    SimConfig config;
    SimDefaultConfig(&config);
    SimLoad(&g_notebook, &config);
    g_clock = Clock{};
    g_fault = Fault{};
    for (uint64_t &count : g_calls)
        count = 0;
}

void LoadScenario(const SimConfig &config)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    SimLoad(&g_notebook, &config);
}

void WithNotebook(const std::function<void(SimNotebook &)> &f)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    f(g_notebook);
}

std::vector<SimLogEntry> RequestLog()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    uint32_t kept = g_notebook.log.total < SIM_LOG_CAPACITY ? g_notebook.log.total : SIM_LOG_CAPACITY;
    return std::vector<SimLogEntry>(g_notebook.log.entries, g_notebook.log.entries + kept);
}

void ClearRequestLog()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    g_notebook.log.total = 0;
}

RegistryStore &Registry()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    if (!g_registry)
        g_registry = MakeMemoryRegistry();
    return *g_registry;
}

void UseRegistry(std::unique_ptr<RegistryStore> store)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    internal::ResetRegistryHandles();
    g_registry = std::move(store);
}

void SetDword(const std::string &path, const std::string &name, int32_t value)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    RegValue v;
    v.type = REG_DWORD;
    uint32_t bits = (uint32_t)value;
    v.data = {(BYTE)bits, (BYTE)(bits >> 8), (BYTE)(bits >> 16), (BYTE)(bits >> 24)};
    Registry().CreateKey(path);
    Registry().SetValue(path, name, v);
}

bool GetDword(const std::string &path, const std::string &name, int32_t *value)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    RegValue v;
    if (!Registry().GetValue(path, name, &v) || v.type != REG_DWORD || v.data.size() != 4)
        return false;
    *value = (int32_t)(v.data[0] | v.data[1] << 8 | v.data[2] << 16 | (uint32_t)v.data[3] << 24);
    return true;
}

void SetClockMode(ClockMode mode)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    g_clock.mode = mode;
    clock_gettime(CLOCK_MONOTONIC, &g_clock.realStart);
}

uint64_t NowMs()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    return internal::Now();
}

void SetSleepTick(uint32_t us)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    g_clock.tickUs = us;
}

void AdvanceClock(uint64_t ms)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    g_clock.virtualMs += ms;
}

std::vector<Wait> Waits()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    return g_clock.waits;
}

void ClearWaits()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    g_clock.waits.clear();
}

void InjectFault(uint64_t nth, FaultMode mode, uint32_t functions)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    g_fault = Fault{};
    g_fault.armed = true;
    g_fault.persistent = mode == FaultMode::Persistent;
    g_fault.nth = nth;
    g_fault.functions = functions;
}

void InjectFaultPattern(const std::vector<uint8_t> &pattern, uint32_t functions)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    g_fault = Fault{};
    g_fault.armed = !pattern.empty();
    g_fault.functions = functions;
    g_fault.pattern = pattern;
}

void ClearFault()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    g_fault = Fault{};
}

bool FaultFired()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    return g_fault.fired;
}

uint64_t FaultableCalls()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    return g_fault.calls;
}

uint64_t CallCount(HostFunction function)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    return g_calls[function];
}

void ResetCallCounts()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    for (uint64_t &count : g_calls)
        count = 0;
}

} // namespace host

// Sleep: on the virtual clock the time moves on and the wait is recorded; on the real clock
// the thread sleeps (outside the lock, so other callers go on). Both keep the scheduler tick.
extern "C" void WINAPI Sleep(DWORD dwMilliseconds)
{
    using namespace host;
    uint64_t end;
    {
        std::lock_guard<std::recursive_mutex> guard(internal::Lock());
        internal::CallFails(FN_SLEEP);
        end = internal::WaitEndUs((uint64_t)dwMilliseconds * kUsPerMs, true);
        if (internal::VirtualWait(end, dwMilliseconds, WaitKind::Sleep))
            return;
    }
    internal::RealWaitUntil(end);
}
