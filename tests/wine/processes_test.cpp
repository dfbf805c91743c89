// Concurrent processes against the real DLL, started at once, each answer compared with the
// answer a lone caller gets; then the stand-in driver's request log must show every
// controller exchange whole, from its command to its release, with no other request inside.
// Two cases: 4 processes x 500 mixed calls on a sound notebook (no failed block-read attempt
// either), and 8 processes x 4 calls behind a controller that is always busy, where every
// read takes about 3.4 s and the eighth caller in the queue waits for seven of them: no call
// may then run without the library's mutex, nor time out waiting for it.
//
// The test starts its callers as `processes_test.exe caller N CASE`.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "wine_support.h"

namespace {

const int kMinOrdinal = wine::kMixedMinOrdinal;
const int kOrdinals = wine::kMixedOrdinals;
const int kUntouched = 777;
const char kExpectedFile[] = "processes_test.expected";
const char kResultFile[] = "processes_test.result.%d";
const char kStartEvent[] = "KovalthermProcessesTestStart";
// Controller registers and command bytes of the exchange.
const int kCommandIndex = 0x30;
const int kCommandLength = 5;
const int kAnswerLength = 8;
const int kReleaseByte = 0x10;
const int kEchoMask = 0x0F;
const int kAttempts = 20;        // per block read
const int kReadsPerFailure = 2;  // block reads of a temperature read that gets no answer

using wine::Answer;
using wine::Same;
const int EXPORT_COUNT = wine::MIXED_EXPORT_COUNT;
const char *const *const kExportNames = wine::kMixedExportNames;
// Exports by their index in kMixedExportNames.
enum { COUNT = 0, TEMPERATURE = 2, WARNING = 3, STATUS = 5 };

struct Call {
    int e, ordinal;
};

// Each caller behind the busy controller: a read, a count, a status, a limit, on sensor
// N mod 3; two of the four make controller exchanges.
const Call kBusyCalls[] = {{TEMPERATURE, 0}, {COUNT, 0}, {STATUS, 0}, {WARNING, 0}};
const int kBusyExchangingCalls = 2;

struct ProcessCase {
    const char *name;
    int processes;
    int calls;  // per process
    bool busy;  // the controller reports busy forever
};

const ProcessCase kCases[] = {
    {"mixed", 4, 500, false},
    {"busy", 8, 4, true},
};

// What one caller saw, written to its result file.
struct CallerResult {
    int wrong;       // neither the lone caller's answer nor a documented failure
    int lockedOut;   // a documented failure where the lone caller got an answer
    int failures;    // documented failures returned, whatever the lone caller got
    double longestMs;
};

wine::Library g_library;

wine::LoneAnswers g_expected;


unsigned NextRandom(unsigned *state)
{
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

// Calls export `e` with `ordinal` and returns its result and out-value.
Answer Invoke(int e, int ordinal) { return wine::InvokeMixed(g_library, e, ordinal, kUntouched); }

// True if `a` is the failure export `e` documents: 0, with -1, -100 or an untouched
// out-value; LMReadTempStatus's 1 with no status.
bool IsDocumentedFailure(int e, const Answer &a)
{
    if (e == STATUS && a.result == 1)
        return a.out == 0;
    return a.result == 0 && (a.out == kUntouched || a.out == -1 || a.out == -100);
}

// The call a caller makes `i`-th: a deterministic mix per process, or the busy cycle.
Call NextCall(const ProcessCase &c, int index, int i, unsigned *state)
{
    if (c.busy) {
        Call call = kBusyCalls[i % (sizeof kBusyCalls / sizeof kBusyCalls[0])];
        call.ordinal = index % 3;
        return call;
    }
    int e = (int)(NextRandom(state) % EXPORT_COUNT);
    return {e, kMinOrdinal + (int)(NextRandom(state) % kOrdinals)};
}

// One process's calls; writes its CallerResult and returns the number of wrong answers.
int RunCaller(const ProcessCase &c, int index)
{
    FILE *file = fopen(kExpectedFile, "rb");
    if (!file || fread(g_expected, sizeof g_expected, 1, file) != 1) {
        printf("caller %d: cannot read %s\n", index, kExpectedFile);
        return 1;
    }
    fclose(file);
    if (!g_library.Load())
        return 1;
    HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, kStartEvent);
    if (start)
        WaitForSingleObject(start, 60000);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    unsigned state = 0x9E3779B9u * (unsigned)(index + 1);
    CallerResult r = {0, 0, 0, 0.0};
    for (int i = 0; i < c.calls; ++i) {
        Call call = NextCall(c, index, i, &state);
        LARGE_INTEGER before, after;
        QueryPerformanceCounter(&before);
        Answer a = Invoke(call.e, call.ordinal);
        QueryPerformanceCounter(&after);
        double ms = (double)(after.QuadPart - before.QuadPart) * 1000.0 / (double)frequency.QuadPart;
        r.longestMs = ms > r.longestMs ? ms : r.longestMs;
        const Answer &x = g_expected[call.e][call.ordinal - kMinOrdinal];
        bool failure = IsDocumentedFailure(call.e, a);
        r.failures += failure && call.e != wine::MIXED_EXPORT_COUNT - 1;
        if (Same(a, x))
            continue;
        if (failure)
            ++r.lockedOut;
        else
            ++r.wrong;
        if (r.wrong + r.lockedOut <= 5)
            printf("caller %d: %s(%d) = (%d, %d) after %.0f ms, alone (%d, %d)\n", index,
                   kExportNames[call.e], call.ordinal, a.result, a.out, ms, x.result, x.out);
    }
    printf("caller %d: %d calls, %d wrong, %d locked out, longest %.0f ms\n", index, c.calls,
           r.wrong, r.lockedOut, r.longestMs);
    char name[64];
    snprintf(name, sizeof name, kResultFile, index);
    FILE *out = fopen(name, "wb");
    if (!out || fwrite(&r, sizeof r, 1, out) != 1)
        return 1;
    fclose(out);
    return r.wrong;
}

// The log's view of one request.
bool IsWrite(const SimLogEntry &e, int index)
{
    return e.code == SIM_IOCTL_WRITE_CONTROLLER_BYTE && e.input[0] == index;
}
bool IsRead(const SimLogEntry &e, int index)
{
    return e.code == SIM_IOCTL_READ_CONTROLLER_BYTE && e.input[0] == index;
}
bool IsBusyPoll(const SimLogEntry &e) { return e.code == SIM_IOCTL_CONTROLLER_BUSY; }

// Checks the log: every exchange is command (5 writes), attempts (busy poll, 8 reads, busy
// poll) until one is answered or all 20 have failed, release (5 writes), with nothing else
// inside. Counts exchanges, failed attempts and exchanges with requests out of place.
void CheckLog(const SimLogEntry *log, size_t n, int *exchanges, int *failedAttempts,
              int *intruders)
{
    size_t i = 0;
    while (i < n) {
        if (!IsWrite(log[i], kCommandIndex) || log[i].input[1] == kReleaseByte) {
            ++i; // outside an exchange: firmware calls, configuration reads
            continue;
        }
        ++*exchanges;
        int code = log[i].input[1] & kEchoMask;
        size_t start = i;
        bool whole = true;
        for (int k = 1; k < kCommandLength; ++k)
            whole = whole && i + k < n && IsWrite(log[i + k], kCommandIndex + k);
        i += kCommandLength;
        bool answered = false;
        int attempts = 0;
        while (whole && i < n && !IsWrite(log[i], kCommandIndex)) {
            ++attempts;
            // One attempt: a busy poll, then (if not busy) eight reads and a second poll.
            if (!IsBusyPoll(log[i])) {
                whole = false;
                break;
            }
            if (log[i].output0) {
                ++*failedAttempts;
                ++i;
                continue;
            }
            for (int k = 0; k < kAnswerLength; ++k)
                whole = whole && i + 1 + k < n && IsRead(log[i + 1 + k], k);
            whole = whole && i + 1 + kAnswerLength < n && IsBusyPoll(log[i + 1 + kAnswerLength]);
            if (!whole)
                break;
            bool echoed = (log[i + 1].output0 & kEchoMask) == code;
            i += 2 + kAnswerLength;
            if (log[i - 1].output0 || !echoed) {
                ++*failedAttempts;
                continue;
            }
            answered = true;
            break;
        }
        // The release: command byte 0x10 and four zeros.
        whole = whole && (answered || attempts == kAttempts) && i + kCommandLength <= n &&
                IsWrite(log[i], kCommandIndex) && log[i].input[1] == kReleaseByte;
        for (int k = 1; whole && k < kCommandLength; ++k)
            whole = IsWrite(log[i + k], kCommandIndex + k);
        if (!whole) {
            if (++*intruders <= 5)
                printf("exchange at request %u is not whole (broken at request %u)\n",
                       (unsigned)start, (unsigned)i);
            i = start + 1;
            continue;
        }
        i += kCommandLength;
    }
}

// The path of this program, for the callers it starts.
std::string SelfPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    return std::string(path, n);
}

// Records what a lone caller answers to the calls the case makes.
void RecordExpected(const ProcessCase &c)
{
    if (!c.busy) {
        ASSERT_NO_FATAL_FAILURE(wine::RecordLoneAnswers(g_library, kUntouched, g_expected));
        return;
    }
    // A read behind the busy controller takes seconds: each call once, after a count that
    // repairs a cache left by other tests.
    g_library.getNumSensors();
    for (int p = 0; p < 3; ++p)
        for (const Call &call : kBusyCalls)
            g_expected[call.e][p - kMinOrdinal] = Invoke(call.e, p);
}

// The case: the lone caller's answers, the callers started at once, their answers and the
// request log they leave.
void RunProcesses(const ProcessCase &c)
{
    static SimConfig config;
    SimDefaultConfig(&config);
    if (c.busy) {
        SimSetBusyPolls(&config, 64);
        config.busyAfterPattern = 1;
    }
    ASSERT_TRUE(wine::LoadScenario(config))
        << "the stand-in driver cannot be reached";
    ASSERT_TRUE(g_library.Load());
    ASSERT_NO_FATAL_FAILURE(RecordExpected(c));
    FILE *file = fopen(kExpectedFile, "wb");
    ASSERT_TRUE(file && fwrite(g_expected, sizeof g_expected, 1, file) == 1)
        << "cannot write " << kExpectedFile;
    fclose(file);
    // The log starts afresh with the callers.
    ASSERT_TRUE(wine::LoadScenario(config));

    HANDLE start = CreateEventA(NULL, TRUE, FALSE, kStartEvent);
    HANDLE processes[MAXIMUM_WAIT_OBJECTS];
    std::string self = SelfPath();
    for (int p = 0; p < c.processes; ++p) {
        char command[MAX_PATH + 32];
        snprintf(command, sizeof command, "\"%s\" caller %d %s", self.c_str(), p, c.name);
        STARTUPINFOA startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info;
        ASSERT_TRUE(CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                                   &info))
            << "CreateProcess failed (error " << GetLastError() << ")";
        CloseHandle(info.hThread);
        processes[p] = info.hProcess;
    }
    Sleep(500); // let every caller load the library and wait for the start
    SetEvent(start);
    WaitForMultipleObjects((DWORD)c.processes, processes, TRUE, INFINITE);
    int wrong = 0, failedProcesses = 0;
    CallerResult sum = {0, 0, 0, 0.0};
    for (int p = 0; p < c.processes; ++p) {
        DWORD code = 1;
        GetExitCodeProcess(processes[p], &code);
        wrong += (int)code;
        failedProcesses += code != 0;
        CloseHandle(processes[p]);
        char name[64];
        snprintf(name, sizeof name, kResultFile, p);
        CallerResult r;
        FILE *in = fopen(name, "rb");
        bool read = in && fread(&r, sizeof r, 1, in) == 1;
        if (in)
            fclose(in);
        DeleteFileA(name);
        EXPECT_TRUE(read) << "caller " << p << " left no result";
        if (!read)
            continue;
        sum.lockedOut += r.lockedOut;
        sum.failures += r.failures;
        sum.longestMs = r.longestMs > sum.longestMs ? r.longestMs : sum.longestMs;
    }
    CloseHandle(start);
    DeleteFileA(kExpectedFile);

    uint32_t total = 0;
    std::vector<SimLogEntry> log = wine::RequestLog(&total);
    size_t n = log.size();
    int exchanges = 0, failedAttempts = 0, intruders = 0;
    CheckLog(log.data(), n, &exchanges, &failedAttempts, &intruders);
    printf("processes (%s): %d x %d calls, %d wrong answers, %d locked out, %d documented "
           "failures, longest call %.0f ms\n",
           c.name, c.processes, c.calls, wrong, sum.lockedOut, sum.failures, sum.longestMs);
    printf("request log: %u requests (%u kept), %d exchanges, %d failed block-read attempts, "
           "%d exchanges with another request inside\n",
           (unsigned)total, (unsigned)n, exchanges, failedAttempts, intruders);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(failedProcesses, 0);
    EXPECT_EQ(sum.lockedOut, 0) << "a caller gave up waiting for the library's mutex";
    EXPECT_GT(n, 0u);
    EXPECT_EQ(total, n) << "the request log overflowed";
    EXPECT_EQ(intruders, 0);
    if (c.busy) {
        // Every read ran both of its block reads, each to its 20th attempt.
        int reads = c.processes * c.calls / (int)(sizeof kBusyCalls / sizeof kBusyCalls[0]) *
                    kBusyExchangingCalls;
        EXPECT_EQ(exchanges, reads * kReadsPerFailure);
        EXPECT_EQ(failedAttempts, exchanges * kAttempts);
    } else {
        EXPECT_GT(exchanges, 0);
        EXPECT_EQ(failedAttempts, 0);
    }
}

TEST(Processes, FourCallersGetALoneCallersAnswersAndKeepEveryExchangeWhole)
{
    RunProcesses(kCases[0]);
}

TEST(Processes, EightCallersBehindAnAlwaysBusyControllerNeitherShareItNorTimeOut)
{
    RunProcesses(kCases[1]);
}

} // namespace

int main(int argc, char **argv)
{
    int result;
    if (argc > 3 && strcmp(argv[1], "caller") == 0) {
        result = 1;
        for (const ProcessCase &c : kCases)
            if (strcmp(argv[3], c.name) == 0)
                result = RunCaller(c, atoi(argv[2]));
    } else {
        testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    fflush(stdout);
    // Exits from the main thread at once, as the threads test does under emulation.
    ExitProcess((UINT)result);
}
