// Concurrent callers: 8 threads x 2,000 mixed calls must each get the answer a lone caller
// gets. Run under ThreadSanitizer by the tsan preset.
#include <stdio.h>

#include <atomic>
#include <map>
#include <thread>

#include "tests/support/exports.h"
#include "base/device_state.h"
#include "tests/support/machine.h"

namespace {

using namespace reliability;

const int kThreads = 8;
const int kCallsPerThread = 2000;
const int kMinOrdinal = -1;
const int kMaxOrdinal = 4;

class ConcurrencyTest : public MachineTest {
protected:
    // Sensors 0, 1, 3 and 7: sensor 1 sits in its warning band (64 against a warning high
    // of 65), so its status is critical from every stored state it can reach; physical
    // sensor 7 has neither limits nor a temperature, so every query of it rebuilds the cache
    // while the other threads read it.
    void StartBusyMachine()
    {
        Scenario([](SimConfig &c) {
            c.presence = 0x8B;
            SimSetTemperature(&c, 1, 64);
        });
        ASSERT_TRUE(Attach());
        ASSERT_EQ(LMGetNumSensors(), 4);
    }
};

// A small deterministic generator per thread.
uint32_t NextRandom(uint32_t *state)
{
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

TEST_F(ConcurrencyTest, EightThreadsGetTheSingleThreadedAnswers)
{
    StartBusyMachine();
    const int ordinals = kMaxOrdinal - kMinOrdinal + 1;
    // The lone caller's answers, asked twice to be sure they are stable.
    std::map<std::pair<int, int>, Answer> expected;
    for (int pass = 0; pass < 2; ++pass)
        for (int e = 0; e < EXPORT_COUNT; ++e)
            for (int o = kMinOrdinal; o <= kMaxOrdinal; ++o) {
                Answer a = Invoke((ExportId)e, o);
                if (pass == 0)
                    expected[{e, o}] = a;
                else
                    ASSERT_EQ(a, (expected[{e, o}])) << ExportName((ExportId)e) << o;
            }
    auto Expected = [&](int e, int o) { return expected.at({e, o}); };
    // A few of them, from the notebook's documented values.
    EXPECT_EQ(Expected(GET_NUM_SENSORS, 0).result, 4);
    EXPECT_EQ(Expected(READ_TEMPERATURE, 1), (Answer{1, 64}));
    EXPECT_EQ(Expected(READ_TEMP_STATUS, 1), (Answer{1, 3}));
    EXPECT_EQ(Expected(READ_TEMP_STATUS, 0), (Answer{1, 1}));
    EXPECT_EQ(Expected(GET_SENSOR_LOCATION, 3), (Answer{1, 9}));
    EXPECT_EQ(Expected(READ_TEMPERATURE, 3), (Answer{0, -100}));
    EXPECT_EQ(Expected(READ_WARNING_LIMIT, 3), (Answer{0, -1}));

    std::atomic<int> mismatches{0};
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            uint32_t state = 0x9E3779B9u * (uint32_t)(t + 1);
            for (int i = 0; i < kCallsPerThread; ++i) {
                int e = (int)(NextRandom(&state) % EXPORT_COUNT);
                int o = kMinOrdinal + (int)(NextRandom(&state) % ordinals);
                Answer a = Invoke((ExportId)e, o);
                if (!(a == expected.at({e, o})))
                    ++mismatches;
                ++calls;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    printf("concurrency: %d threads x %d calls = %d calls, %d mismatches\n", kThreads,
           kCallsPerThread, calls.load(), mismatches.load());
    EXPECT_EQ(calls.load(), kThreads * kCallsPerThread);
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(host::OpenKeyCount(), 0);
    EXPECT_EQ(host::OpenHandleCount() - host::OpenTimerCount(), 1); // the driver
    EXPECT_LE(host::OpenTimerCount(), 1);
}

// The stand-in itself, used from many threads at once without the library's lock: every
// thread works its own key and its own controller reads, and nothing is lost.
TEST_F(ConcurrencyTest, TheStandInServesConcurrentCallers)
{
    ASSERT_TRUE(Attach());
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string path = "SOFTWARE\\Concurrency\\Thread " + std::to_string(t);
            for (int i = 0; i < 500; ++i) {
                HKEY key;
                if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS,
                                    NULL, &key, NULL) != ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                DWORD value = (DWORD)i;
                if (RegSetValueExA(key, "Value", 0, REG_DWORD, (const BYTE *)&value, 4) !=
                    ERROR_SUCCESS)
                    ++failures;
                DWORD read = 0, size = 4, type = 0;
                if (RegQueryValueExA(key, "Value", NULL, &type, (BYTE *)&read, &size) !=
                        ERROR_SUCCESS ||
                    read != value)
                    ++failures;
                RegCloseKey(key);
                SetLastError((DWORD)t);
                BYTE buffer[24] = {7};
                DWORD returned = 0;
                DeviceIoControl(g_deviceState.deviceHandle, 0x9C80, buffer, 24, buffer, 24, &returned,
                                NULL);
                if (GetLastError() != (DWORD)t)
                    ++failures; // the last error is per thread and a success leaves it alone
                Sleep(1);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(host::OpenKeyCount(), 0);
    EXPECT_EQ(host::Waits().size(), (size_t)kThreads * 500);
}

} // namespace
