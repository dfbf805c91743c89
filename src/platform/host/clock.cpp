// The stand-in's clock, virtual or real, with the scheduler tick.
#include <errno.h>
#include <sys/prctl.h>
#include <time.h>

#include "platform/host/host_internal.h"

namespace host {

namespace {

struct Clock {
    ClockMode mode = ClockMode::Virtual;
    uint64_t virtualMs = 0;
    timespec realStart{};
    uint32_t tickUs = 0;
};

Clock g_clock;

const uint64_t kNsPerUs = 1000;
const uint64_t kUsPerMs = 1000;
const uint64_t kNsPerSecond = 1000000000;
const uint64_t kNsPerHundredNs = 100;
const uint64_t kHundredsOfNsPerUs = 10;

uint64_t RealUsSince(const timespec &start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return ElapsedUs(start, now);
}

} // namespace

uint64_t ElapsedUs(const timespec &start, const timespec &end)
{
    int64_t ns = (int64_t)(end.tv_sec - start.tv_sec) * (int64_t)kNsPerSecond +
                 (end.tv_nsec - start.tv_nsec);
    return (uint64_t)ns / kNsPerUs;
}

namespace internal {

uint64_t Now() { return NowUs() / kUsPerMs; }

uint64_t NowUs()
{
    return g_clock.mode == ClockMode::Virtual ? g_clock.virtualMs * kUsPerMs
                                              : RealUsSince(g_clock.realStart);
}

uint64_t NowHundredsOfNs()
{
    if (g_clock.mode == ClockMode::Virtual)
        return g_clock.virtualMs * kUsPerMs * kHundredsOfNsPerUs;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ns = (int64_t)(now.tv_sec - g_clock.realStart.tv_sec) * (int64_t)kNsPerSecond +
                 (now.tv_nsec - g_clock.realStart.tv_nsec);
    return (uint64_t)ns / kNsPerHundredNs;
}

bool VirtualClock() { return g_clock.mode == ClockMode::Virtual; }

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
    if (g_testHooks.wait)
        g_testHooks.wait(Wait{g_clock.virtualMs, ms, kind});
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

void ResetClock() { g_clock = Clock{}; }

} // namespace internal

using internal::Lock;

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

} // namespace host
