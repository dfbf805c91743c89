// Waits: the high-resolution timer where the system offers one, else Sleep with the timer
// resolution raised to 1 ms for each block read; never shorter than asked; one timer per
// load, closed at detach.
#include <time.h>

#include "hw/wait.h"
#include "tests/support/machine.h"

namespace {

std::vector<DWORD> Lengths()
{
    std::vector<DWORD> lengths;
    for (const host::Wait &w : host::Waits())
        lengths.push_back(w.ms);
    return lengths;
}

std::vector<host::WaitKind> Kinds()
{
    std::vector<host::WaitKind> kinds;
    for (const host::Wait &w : host::Waits())
        kinds.push_back(w.kind);
    return kinds;
}

using host::WaitKind;
const WaitKind S = WaitKind::Sleep;
const WaitKind T = WaitKind::Timer;

using WaitTest = MachineTest;

struct PathCase {
    const char *name;
    host::TimerSupport support;
    WaitKind kind;          // how every wait is made
    uint64_t timerCreates;  // CreateWaitableTimerExW calls in one load
    int timersOpen;         // while loaded, after temperature reads
};

TEST_F(WaitTest, UsesTheHighResolutionTimerOnlyWhereOffered)
{
    const PathCase cases[] = {
        {"Windows 95", host::TimerSupport::None, S, 0, 0},
        {"NT 4.0 to XP", host::TimerSupport::Basic, S, 0, 0},
        {"Vista to 10 1709", host::TimerSupport::Ex, S, 1, 0},
        {"10 1803 on", host::TimerSupport::HighResolution, T, 1, 1},
    };
    for (const PathCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        host::SetTimerSupport(c.support);
        ASSERT_TRUE(Attach());
        ASSERT_EQ(LMGetNumSensors(), 3);
        int t = 0;
        ASSERT_EQ(LMReadTemperature(0, &t), 1);
        ASSERT_EQ(LMReadTemperature(0, &t), 1);
        // Two block reads of eight 2 ms pauses, the same on either path.
        EXPECT_EQ(Lengths(), std::vector<DWORD>(16, 2));
        EXPECT_EQ(Kinds(), std::vector<WaitKind>(16, c.kind));
        EXPECT_EQ(host::NowMs(), 32u);
        EXPECT_EQ(host::CallCount(host::FN_CREATE_WAITABLE_TIMER), c.timerCreates);
        EXPECT_EQ(host::CallCount(host::FN_SLEEP), c.kind == S ? 16u : 0u);
        EXPECT_EQ(host::OpenTimerCount(), c.timersOpen);
        Detach();
        EXPECT_EQ(host::OpenTimerCount(), 0);
        EXPECT_EQ(host::OpenHandleCount(), 0);
    }
}

TEST_F(WaitTest, TimerIsCreatedOnFirstWaitAndClosedAtDetach)
{
    ASSERT_TRUE(Attach());
    int value = 0;
    ASSERT_EQ(LMGetNumSensors(), 3);
    ASSERT_EQ(LMReadWarningLimit(0, &value), 1);
    EXPECT_EQ(host::OpenTimerCount(), 0) << "no wait yet, no timer";
    EXPECT_EQ(host::OpenHandleCount(), 1);
    ASSERT_EQ(LMReadTemperature(1, &value), 1);
    ASSERT_EQ(LMReadTempStatus(1, &value), 1);
    EXPECT_EQ(host::OpenTimerCount(), 1);
    EXPECT_EQ(host::OpenHandleCount(), 2);
    EXPECT_EQ(host::CallCount(host::FN_CREATE_WAITABLE_TIMER), 1u);
    Detach();
    EXPECT_EQ(host::OpenHandleCount(), 0);

    // A new load creates its own timer and closes it again.
    ASSERT_TRUE(Attach());
    ASSERT_EQ(LMReadTemperature(1, &value), 1);
    EXPECT_EQ(host::CallCount(host::FN_CREATE_WAITABLE_TIMER), 2u);
    Detach();
    EXPECT_EQ(host::OpenHandleCount(), 0);
    EXPECT_EQ(host::CallCount(host::FN_CLOSE_HANDLE), 8u); // two devices, two timers, four mutexes
}

struct FallbackCase {
    const char *name;
    host::HostFunction fails;
    host::FaultMode mode;
    std::vector<WaitKind> kinds; // of the eight pauses of one block read
    uint64_t nth;                // the failing call; the export's two mutex waits come first
};

TEST_F(WaitTest, FailedTimerCallsFallBackToSleepForTheFullLength)
{
    const FallbackCase cases[] = {
        {"module lookup", host::FN_GET_MODULE_HANDLE, host::FaultMode::Once, {S, S, S, S, S, S, S, S}, 1},
        {"procedure lookup", host::FN_GET_PROC_ADDRESS, host::FaultMode::Once, {S, S, S, S, S, S, S, S}, 1},
        {"timer creation", host::FN_CREATE_WAITABLE_TIMER, host::FaultMode::Once, {S, S, S, S, S, S, S, S}, 1},
        {"one set", host::FN_SET_WAITABLE_TIMER, host::FaultMode::Once, {S, T, T, T, T, T, T, T}, 1},
        {"one wait", host::FN_WAIT_FOR_SINGLE_OBJECT, host::FaultMode::Once, {S, T, T, T, T, T, T, T}, 3},
        {"every timer wait", host::FN_WAIT_FOR_SINGLE_OBJECT, host::FaultMode::Persistent, {S, S, S, S, S, S, S, S}, 3},
    };
    for (const FallbackCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        ASSERT_TRUE(Attach());
        ASSERT_EQ(LMGetNumSensors(), 3);
        host::InjectFault(c.nth, c.mode, 1u << c.fails);
        int t = 0;
        ASSERT_EQ(LMReadTemperature(0, &t), 1);
        EXPECT_TRUE(host::FaultFired());
        EXPECT_EQ(Lengths(), std::vector<DWORD>(8, 2));
        EXPECT_EQ(Kinds(), c.kinds);
        EXPECT_EQ(host::NowMs(), 16u);
        host::ClearFault();
        Detach();
        EXPECT_EQ(host::OpenHandleCount(), 0);
    }
}

// A stock Windows scheduler tick, and the tick while a 1 ms period is raised.
const uint32_t kStockTickUs = 15625;
// Eight 2 ms pauses on a 1 ms tick: the floor itself. On the stock tick each pause lasts
// until the next tick, 15.625 ms: 8 ticks = 125 ms.
const uint64_t kRaisedReadMs = 16;
const uint64_t kStockTickReadMs = 125;

struct PeriodCase {
    const char *name;
    host::HostFunction fails;   // FN_COUNT: nothing fails
    uint64_t nth;               // which call of `fails` fails, once
    uint64_t begins, granted;   // timeBeginPeriod calls, and those that succeeded
    uint64_t ends;              // timeEndPeriod calls
    int raisedAfter;            // periods left raised after the read
    uint64_t readMs;
};

TEST_F(WaitTest, RaisesTheTimerResolutionForEachBlockReadWithoutTheHighResolutionTimer)
{
    const host::TimerSupport kFallbacks[] = {host::TimerSupport::None, host::TimerSupport::Basic,
                                             host::TimerSupport::Ex};
    const char *const kFallbackNames[] = {"Windows 95", "NT 4.0 to XP", "Vista to 10 1709"};
    // The winmm lookups are the third and fourth GetProcAddress calls, after kernel32's two.
    const PeriodCase kFailures[] = {
        {"nothing fails", host::FN_COUNT, 0, 1, 1, 1, 0, kRaisedReadMs},
        {"winmm does not load", host::FN_LOAD_LIBRARY, 1, 0, 0, 0, 0, kStockTickReadMs},
        {"no timeBeginPeriod", host::FN_GET_PROC_ADDRESS, 3, 0, 0, 0, 0, kStockTickReadMs},
        {"no timeEndPeriod", host::FN_GET_PROC_ADDRESS, 4, 0, 0, 0, 0, kStockTickReadMs},
        {"begin refused", host::FN_TIME_BEGIN_PERIOD, 1, 1, 0, 0, 0, kStockTickReadMs},
        {"end refused", host::FN_TIME_END_PERIOD, 1, 1, 1, 1, 1, kRaisedReadMs},
    };
    for (int level = 0; level < 3; ++level) {
        for (PeriodCase c : kFailures) {
            SCOPED_TRACE(std::string(kFallbackNames[level]) + ", " + c.name);
            host::ResetMachine();
            host::SetTimerSupport(kFallbacks[level]);
            host::SetSleepTick(kStockTickUs);
            ASSERT_TRUE(Attach());
            ASSERT_EQ(LMGetNumSensors(), 3);
            if (c.fails != host::FN_COUNT)
                host::InjectFault(c.nth, host::FaultMode::Once, 1u << c.fails);
            int t = 0;
            ASSERT_EQ(LMReadTemperature(0, &t), 1);
            EXPECT_EQ(host::FaultFired(), c.fails != host::FN_COUNT);
            EXPECT_EQ(Lengths(), std::vector<DWORD>(8, 2));
            EXPECT_EQ(Kinds(), std::vector<WaitKind>(8, S));
            EXPECT_EQ(host::NowMs(), c.readMs);
            host::TimerPeriods periods = host::TimerPeriodCalls();
            EXPECT_EQ(periods.begins, c.begins);
            EXPECT_EQ(periods.granted, c.granted);
            EXPECT_EQ(periods.ends, c.ends);
            EXPECT_EQ(periods.raised, c.raisedAfter);
            // winmm is loaded once per load of the library, whatever its lookup gave.
            ASSERT_EQ(LMReadTemperature(0, &t), 1);
            EXPECT_EQ(host::CallCount(host::FN_LOAD_LIBRARY), 1u);
            host::ClearFault();
            Detach();
            EXPECT_EQ(host::OpenHandleCount(), 0);
        }
    }
}

TEST_F(WaitTest, LeavesTheTimerResolutionAloneWithTheHighResolutionTimer)
{
    host::SetSleepTick(kStockTickUs);
    ASSERT_TRUE(Attach());
    ASSERT_EQ(LMGetNumSensors(), 3);
    int t = 0;
    ASSERT_EQ(LMReadTemperature(0, &t), 1);
    ASSERT_EQ(LMReadTempStatus(0, &t), 1);
    EXPECT_EQ(Kinds(), std::vector<WaitKind>(16, T));
    EXPECT_EQ(host::NowMs(), 2 * kRaisedReadMs);
    EXPECT_EQ(host::CallCount(host::FN_LOAD_LIBRARY), 0u);
    EXPECT_EQ(host::TimerPeriodCalls().begins, 0u);
}

struct FailedReadCase {
    const char *name;
    void (*configure)(SimConfig &config);
    uint64_t blockReads;
};

TEST_F(WaitTest, EveryRaiseIsMatchedWhenTheReadFails)
{
    const FailedReadCase cases[] = {
        {"always busy", [](SimConfig &c) { c.busyPatternLength = 0; c.busyAfterPattern = 1; }, 2},
        {"never echoes", [](SimConfig &c) { c.wrongEchoForever = 1; }, 2},
        {"driver fails", [](SimConfig &c) { c.failCount[SIM_REQ_READ_CONTROLLER_BYTE] = SIM_FAIL_ALWAYS; }, 2},
    };
    for (const FailedReadCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        host::SetTimerSupport(host::TimerSupport::Basic);
        host::SetSleepTick(kStockTickUs);
        SimConfig config;
        SimDefaultConfig(&config);
        c.configure(config);
        host::LoadScenario(config);
        ASSERT_TRUE(Attach());
        ASSERT_EQ(LMGetNumSensors(), 3);
        int t = 0;
        EXPECT_EQ(LMReadTemperature(0, &t), 0);
        host::TimerPeriods periods = host::TimerPeriodCalls();
        EXPECT_EQ(periods.begins, c.blockReads);
        EXPECT_EQ(periods.ends, c.blockReads);
        EXPECT_EQ(periods.raised, 0);
        Detach();
    }
}

struct ShortfallCase {
    const char *name;
    host::TimerSupport support;
    uint32_t tickUs;
    uint64_t startMs;
    DWORD ms;
    std::vector<DWORD> waits;  // lengths asked of the platform
    uint64_t endMs;
};

TEST_F(WaitTest, NeverEndsBeforeTheTimeAskedFor)
{
    // On a 16 ms tick a wait ends at the first tick at or after the last tick plus its length.
    const ShortfallCase cases[] = {
        {"exact clock", host::TimerSupport::None, 0, 14, 15, {15}, 29},
        {"tick rounds a short wait up", host::TimerSupport::None, 16000, 0, 2, {2}, 16},
        {"tick rounds a busy wait up", host::TimerSupport::None, 16000, 10, 50, {50}, 64},
        {"Sleep ends early, rest waited", host::TimerSupport::None, 16000, 14, 15, {15, 13}, 32},
        {"old timer ends early too", host::TimerSupport::Ex, 16000, 14, 15, {15, 13}, 32},
        {"high resolution ignores the tick", host::TimerSupport::HighResolution, 16000, 14, 15, {15}, 29},
    };
    for (const ShortfallCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        host::SetTimerSupport(c.support);
        host::SetSleepTick(c.tickUs);
        ASSERT_TRUE(Attach());
        host::AdvanceClock(c.startMs);
        WaitMilliseconds(c.ms);
        EXPECT_EQ(Lengths(), c.waits);
        EXPECT_EQ(host::NowMs(), c.endMs);
        EXPECT_GE(host::NowMs() - c.startMs, c.ms);
        Detach();
    }
}

TEST_F(WaitTest, WithoutAPerformanceCounterTheFirstWaitIsTrusted)
{
    host::SetTimerSupport(host::TimerSupport::None);
    host::SetSleepTick(16000);
    ASSERT_TRUE(Attach());
    host::AdvanceClock(14);
    host::InjectFault(1, host::FaultMode::Persistent, 1u << host::FN_QUERY_PERFORMANCE_FREQUENCY);
    WaitMilliseconds(15);
    EXPECT_EQ(Lengths(), std::vector<DWORD>{15});
    EXPECT_EQ(host::NowMs(), 16u);
}

TEST_F(WaitTest, RealClockWaitsAreNeverShort)
{
    host::SetClockMode(host::ClockMode::Real);
    ASSERT_TRUE(Attach());
    const DWORD lengths[] = {2, 2, 2, 2, 5, 2, 2, 2};
    for (DWORD ms : lengths) {
        timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        WaitMilliseconds(ms);
        clock_gettime(CLOCK_MONOTONIC, &b);
        int64_t us = (b.tv_sec - a.tv_sec) * 1000000 + (b.tv_nsec - a.tv_nsec) / 1000;
        EXPECT_GE(us, (int64_t)ms * 1000);
    }
    EXPECT_EQ(host::CallCount(host::FN_SLEEP), 0u);
}

TEST_F(WaitTest, RealClockSleepsOnARaisedPeriodAreNeverShort)
{
    // Sleep on a 1 ms tick ends up to a tick early; the rest is made up. How long it takes
    // is the benchmark's to measure.
    host::SetClockMode(host::ClockMode::Real);
    host::SetTimerSupport(host::TimerSupport::Basic);
    host::SetSleepTick(15625);
    ASSERT_TRUE(Attach());
    RaiseTimerResolution();
    ASSERT_EQ(host::TimerPeriodCalls().raised, 1);
    const DWORD lengths[] = {2, 2, 2, 2, 5, 2, 2, 2};
    for (DWORD ms : lengths) {
        timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        WaitMilliseconds(ms);
        clock_gettime(CLOCK_MONOTONIC, &b);
        int64_t us = (b.tv_sec - a.tv_sec) * 1000000 + (b.tv_nsec - a.tv_nsec) / 1000;
        EXPECT_GE(us, (int64_t)ms * 1000);
    }
    RestoreTimerResolution();
    EXPECT_EQ(host::TimerPeriodCalls().raised, 0);
    EXPECT_GE(host::CallCount(host::FN_SLEEP), 8u);
}

} // namespace
