// Concurrent callers against the real DLL: 8 threads x 2,000 mixed calls, each answer
// compared with the answer a lone caller gets. Before loading the DLL it loads a steady
// scenario into the stand-in driver (sensors 0, 1, 3 and 7; sensor 7 has no limits and no
// temperature, so its queries rebuild the cache while other threads read it).
//
// Run:   wine threads_test.exe [--keep-scenario] [gtest options]   (Kovaltherm.dll beside it)
// Exit:  0 when every answer matches, 1 on a mismatch or when the DLL cannot be used.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include "wine_support.h"

namespace {

const int kThreads = 8;
const int kCallsPerThread = 2000;
const int kMinOrdinal = wine::kMixedMinOrdinal;
const int kOrdinals = wine::kMixedOrdinals;
const int kUntouched = 777;

using wine::Answer;
using wine::Same;
const int EXPORT_COUNT = wine::MIXED_EXPORT_COUNT;
const char *const *const kExportNames = wine::kMixedExportNames;

wine::Library g_library;

wine::LoneAnswers g_expected;
volatile LONG g_mismatches;
volatile LONG g_calls;

// Calls export `e` with `ordinal` and returns its result and out-value.
Answer Invoke(int e, int ordinal) { return wine::InvokeMixed(g_library, e, ordinal, kUntouched); }

HANDLE g_finished[kThreads];
HANDLE g_release;


// A small deterministic generator per thread.
unsigned NextRandom(unsigned *state)
{
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

DWORD WINAPI Caller(LPVOID parameter)
{
    unsigned state = 0x9E3779B9u * (unsigned)((INT_PTR)parameter + 1);
    for (int i = 0; i < kCallsPerThread; ++i) {
        int e = (int)(NextRandom(&state) % EXPORT_COUNT);
        int o = kMinOrdinal + (int)(NextRandom(&state) % kOrdinals);
        Answer a = Invoke(e, o);
        if (!Same(a, g_expected[e][o - kMinOrdinal])) {
            if (InterlockedIncrement(&g_mismatches) <= 10)
                printf("mismatch: %s(%d) = (%d, %d), alone (%d, %d)\n", kExportNames[e], o,
                       a.result, a.out, g_expected[e][o - kMinOrdinal].result,
                       g_expected[e][o - kMinOrdinal].out);
        }
        InterlockedIncrement(&g_calls);
    }
    // Report the end and stay: the process exits from the main thread. (A thread that
    // returns ends through pthread_exit in Wine, which some emulated set-ups cannot do.)
    SetEvent(g_finished[(INT_PTR)parameter]);
    WaitForSingleObject(g_release, INFINITE);
    return 0;
}

// Loads the steady scenario into the stand-in driver; false if it cannot be reached.
bool LoadSteadyScenario()
{
    static SimConfig config;
    SimDefaultConfig(&config);
    config.presence = 0x8B;
    SimSetTemperature(&config, 1, 64); // in its warning band: critical from every state
    return wine::LoadScenario(config);
}

bool g_keepScenario = false;

TEST(Threads, ConcurrentCallersMatchALoneCaller)
{
    if (!g_keepScenario && !LoadSteadyScenario())
        printf("note: could not load the steady scenario; using the driver's current one\n");
    ASSERT_TRUE(g_library.Load());

    ASSERT_NO_FATAL_FAILURE(wine::RecordLoneAnswers(g_library, kUntouched, g_expected));
    printf("lone caller: %d sensors\n", g_expected[0][0].result);

    g_release = CreateEventA(NULL, TRUE, FALSE, NULL);
    for (int t = 0; t < kThreads; ++t) {
        g_finished[t] = CreateEventA(NULL, TRUE, FALSE, NULL);
        HANDLE thread = CreateThread(NULL, 0, Caller, (LPVOID)(INT_PTR)t, 0, NULL);
        ASSERT_NE(thread, nullptr) << "CreateThread failed (error " << GetLastError() << ")";
        CloseHandle(thread);
    }
    WaitForMultipleObjects(kThreads, g_finished, TRUE, INFINITE);
    printf("concurrency: %d threads x %d calls = %ld calls, %ld mismatches\n", kThreads,
           kCallsPerThread, (long)g_calls, (long)g_mismatches);
    EXPECT_EQ((long)g_calls, (long)kThreads * kCallsPerThread);
    EXPECT_EQ((long)g_mismatches, 0L);
}

} // namespace

// The callers stay blocked to the end, so the process ends here through ExitProcess.
int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    g_keepScenario = argc > 1 && strcmp(argv[1], "--keep-scenario") == 0;
    int result = RUN_ALL_TESTS();
    fflush(stdout);
    ExitProcess(result == 0 ? 0 : 1);
}
